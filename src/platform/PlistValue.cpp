#include "platform/PlistValue.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {
// plist dates count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kPlistEpochOffset = 978307200;

// libplist parses containers recursively: tens of thousands of nested
// arrays overflow the stack. Our files are three levels deep.
constexpr int kMaxNesting = 64;

// XML: every opening tag counts as a level, whatever its name, so nothing
// that nests can slip past the count. Comments, CDATA, processing
// instructions and declarations do not nest and are skipped whole.
bool xmlNestingWithin(const QByteArray &bytes, int limit)
{
    const char *p = bytes.constData();
    const char *const end = p + bytes.size();
    auto skipPast = [&](const char *from, const char *marker) {
        const qsizetype at = bytes.indexOf(marker, from - bytes.constData());
        return at < 0 ? end : bytes.constData() + at + qsizetype(std::strlen(marker));
    };
    int depth = 0;
    while (p < end) {
        p = static_cast<const char *>(std::memchr(p, '<', size_t(end - p)));
        if (!p)
            break;
        const char *next = p + 1;
        if (next >= end)
            break;
        if (*next == '!') {
            if (end - next >= 3 && std::memcmp(next, "!--", 3) == 0)
                p = skipPast(next + 3, "-->");
            else if (end - next >= 8 && std::memcmp(next, "![CDATA[", 8) == 0)
                p = skipPast(next + 8, "]]>");
            else
                p = skipPast(next, ">");
            continue;
        }
        if (*next == '?') {
            p = skipPast(next, "?>");
            continue;
        }
        const char *close = static_cast<const char *>(std::memchr(next, '>', size_t(end - next)));
        const bool selfClosing = close && close[-1] == '/' && close - 1 > next;
        if (*next == '/') {
            --depth;
        } else if (!selfClosing && ++depth > limit) {
            return false;
        }
        p = close ? close + 1 : end;
    }
    return true;
}

// Binary: the object table is walked from the top object, each object's
// depth counted once (a memo), so shared objects cost nothing extra and a
// reference cycle shows as unbounded depth. Anything malformed is left to
// libplist, which refuses it without recursing into it.
bool binaryNestingWithin(const QByteArray &bytes, int limit)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    const quint64 size = quint64(bytes.size());
    if (size < 8 + 32)
        return true;
    const unsigned char *trailer = data + size - 32;
    const unsigned offsetSize = trailer[6];
    const unsigned refSize = trailer[7];
    auto be = [&](quint64 at, unsigned width, quint64 *out) {
        if (width == 0 || width > 8 || at > size || size - at < width)
            return false;
        quint64 v = 0;
        for (unsigned i = 0; i < width; ++i)
            v = (v << 8) | data[at + i];
        *out = v;
        return true;
    };
    quint64 objectCount = 0, topObject = 0, tableOffset = 0;
    if (!be(size - 32 + 8, 8, &objectCount) || !be(size - 32 + 16, 8, &topObject) || !be(size - 32 + 24, 8, &tableOffset))
        return true;
    if (objectCount == 0 || objectCount > size || topObject >= objectCount || offsetSize == 0 || offsetSize > 8
        || refSize == 0 || refSize > 8 || tableOffset >= size || (size - tableOffset) / offsetSize < objectCount)
        return true;

    // The references of a container, or none for anything else. A string
    // or key holding a NUL makes libplist abort, so it counts as unsafe.
    bool nul = false;
    auto children = [&](quint64 index, std::vector<quint64> *out) {
        out->clear();
        quint64 at = 0;
        if (!be(tableOffset + index * offsetSize, offsetSize, &at) || at >= size)
            return;
        const unsigned marker = data[at] >> 4;
        if (marker != 0xA && marker != 0xC && marker != 0xD && marker != 0x5 && marker != 0x6)
            return;
        quint64 count = data[at] & 0x0F;
        quint64 first = at + 1;
        if (count == 0x0F) {
            // The count follows as an integer object: 0x1N with 2^N bytes.
            if (first >= size || (data[first] >> 4) != 0x1 || (data[first] & 0x0F) > 3)
                return;
            const unsigned width = 1u << (data[first] & 0x0F);
            if (!be(first + 1, width, &count))
                return;
            first += 1 + width;
        }
        if (marker == 0x5 || marker == 0x6) { // ASCII or UTF-16 text
            const unsigned unit = marker == 0x5 ? 1 : 2;
            if (count > size || first > size || (size - first) / unit < count)
                return;
            for (quint64 i = 0; i < count; ++i) {
                if (data[first + i * unit] == 0 && (unit == 1 || data[first + i * unit + 1] == 0))
                    nul = true;
            }
            return;
        }
        if (marker == 0xD)
            count *= 2;
        if (count > size || first > size || (size - first) / refSize < count)
            return;
        out->reserve(size_t(count));
        for (quint64 i = 0; i < count; ++i) {
            quint64 ref = 0;
            if (be(first + i * refSize, refSize, &ref) && ref < objectCount)
                out->push_back(ref);
        }
    };

    // Iterative depth-first walk; depth[i] < 0 marks an object on the path.
    std::vector<int> depth(size_t(objectCount), 0);
    struct Frame {
        quint64 index;
        std::vector<quint64> refs;
        size_t next = 0;
        int deepest = 0;
    };
    std::vector<Frame> stack;
    stack.push_back({topObject, {}});
    children(topObject, &stack.back().refs);
    depth[size_t(topObject)] = -1;
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next == f.refs.size()) {
            const int d = f.refs.empty() ? 1 : f.deepest + 1;
            depth[size_t(f.index)] = d;
            stack.pop_back();
            if (!stack.empty())
                stack.back().deepest = std::max(stack.back().deepest, d);
            continue;
        }
        if (nul)
            return false;
        const quint64 child = f.refs[f.next++];
        const int known = depth[size_t(child)];
        if (known < 0)
            return false; // a cycle
        if (known > 0) {
            f.deepest = std::max(f.deepest, known);
            continue;
        }
        if (int(stack.size()) >= limit || nul)
            return false;
        depth[size_t(child)] = -1;
        Frame childFrame{child, {}};
        children(child, &childFrame.refs);
        stack.push_back(std::move(childFrame));
    }
    return !nul;
}

// A NUL in XML (raw or as a character reference) is not XML; libplist
// would carry it into a key or string and abort on reading it.
bool xmlHasNul(const QByteArray &bytes)
{
    if (bytes.contains('\0'))
        return true;
    for (qsizetype at = bytes.indexOf("&#"); at >= 0; at = bytes.indexOf("&#", at + 2)) {
        qsizetype i = at + 2;
        const bool hex = i < bytes.size() && bytes.at(i) == 'x';
        if (hex)
            ++i;
        const qsizetype digits = i;
        while (i < bytes.size() && bytes.at(i) == '0')
            ++i;
        if (i > digits && i < bytes.size() && bytes.at(i) == ';')
            return true;
    }
    return false;
}

} // namespace

bool plistNestingWithinLimit(const QByteArray &bytes)
{
    if (bytes.startsWith("bplist"))
        return binaryNestingWithin(bytes, kMaxNesting);
    return !xmlHasNul(bytes) && xmlNestingWithin(bytes, kMaxNesting);
}

std::unique_ptr<PList::Dictionary> parsePlistDictionary(const QByteArray &bytes)
{
    if (bytes.isEmpty() || !plistNestingWithinLimit(bytes))
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
    {
        // By pointer and length: libplist asserts (and so aborts) in
        // plist_get_string_val when the string holds a NUL, which a file
        // of anyone's making may do (&#0; or a binary list).
        uint64_t length = 0;
        const char *text = plist_get_string_ptr(n->GetPlist(), &length);
        if (!text || length > uint64_t(std::numeric_limits<qsizetype>::max()))
            return {};
        return QString::fromUtf8(text, qsizetype(length));
    }
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

