#include "platform/PlistValue.h"

#include <QDateTime>

#include <cmath>
#include <limits>

namespace {
// plist dates count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kPlistEpochOffset = 978307200;
} // namespace

std::unique_ptr<PList::Dictionary> parsePlistDictionary(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return nullptr;
    std::unique_ptr<PList::Structure> root;
    if (bytes.startsWith("bplist"))
        root.reset(PList::Structure::FromBin(std::vector<char>(bytes.begin(), bytes.end())));
    else
        root.reset(PList::Structure::FromXml(bytes.toStdString()));
    if (!root || root->GetType() != PLIST_DICT)
        return nullptr;
    return std::unique_ptr<PList::Dictionary>(static_cast<PList::Dictionary *>(root.release()));
}

QVariant plistValue(const PList::Dictionary &dictionary, const QString &key)
{
    const auto it = dictionary.Find(key.toStdString());
    return it == dictionary.End() ? QVariant() : plistToVariant(it->second);
}

QVariant plistToVariant(const PList::Node *node)
{
    if (!node)
        return {};
    auto *n = const_cast<PList::Node *>(node); // the getters are not const in libplist++
    switch (n->GetType()) {
    case PLIST_STRING:
        return QString::fromStdString(static_cast<PList::String *>(n)->GetValue());
    case PLIST_BOOLEAN:
        return static_cast<PList::Boolean *>(n)->GetValue();
    case PLIST_UINT:
        return static_cast<qint64>(static_cast<PList::Integer *>(n)->GetValue());
    case PLIST_REAL:
        return static_cast<PList::Real *>(n)->GetValue();
    case PLIST_DATE: {
        const timeval tv = static_cast<PList::Date *>(n)->GetValue();
        const qint64 ms = (static_cast<qint64>(tv.tv_sec) + kPlistEpochOffset) * 1000 + tv.tv_usec / 1000;
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    }
    default:
        return {};
    }
}

std::unique_ptr<PList::Node> variantToPlist(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return std::make_unique<PList::String>(value.toString().toStdString());
    case QMetaType::Bool:
        return std::make_unique<PList::Boolean>(value.toBool());
    case QMetaType::QDateTime: {
        const qint64 ms = value.toDateTime().toMSecsSinceEpoch() - kPlistEpochOffset * 1000;
        const qint64 sec = static_cast<qint64>(std::floor(static_cast<double>(ms) / 1000.0));
        const qint64 usec = (ms - sec * 1000) * 1000;
        // libplist 2.2 keeps dates as 32-bit seconds from 2001.
        if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max())
            return nullptr;
        // PList::Date(timeval) stores the value with the wrong length in
        // libplist 2.2 and aborts when written out; the C constructor is right.
        return std::make_unique<PList::Date>(plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec)));
    }
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return std::make_unique<PList::Integer>(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::Double:
        return std::make_unique<PList::Real>(value.toDouble());
    default:
        return nullptr;
    }
}

