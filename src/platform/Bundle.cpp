#include "platform/Bundle.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <plist/plist++.h>

#include <memory>

namespace {

// plist dates count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kPlistEpochOffset = 978307200;

QVariant toVariant(PList::Node *node)
{
    if (!node)
        return {};
    switch (node->GetType()) {
    case PLIST_STRING:
        return QString::fromStdString(static_cast<PList::String *>(node)->GetValue());
    case PLIST_BOOLEAN:
        return static_cast<PList::Boolean *>(node)->GetValue();
    case PLIST_UINT:
        return static_cast<qint64>(static_cast<PList::Integer *>(node)->GetValue());
    case PLIST_REAL:
        return static_cast<PList::Real *>(node)->GetValue();
    case PLIST_DATE: {
        const timeval tv = static_cast<PList::Date *>(node)->GetValue();
        const qint64 ms = (static_cast<qint64>(tv.tv_sec) + kPlistEpochOffset) * 1000 + tv.tv_usec / 1000;
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    }
    default:
        return {};
    }
}

} // namespace

Bundle Bundle::main()
{
    return forExecutable(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
}

Bundle Bundle::forExecutable(const QString &executablePath)
{
    // Worked out on the path alone: the folders need not exist.
    const QString binDir = QDir::cleanPath(QFileInfo(executablePath).absolutePath());
    // X.app/Contents/bin/NAME belongs to X.app.
    static const QString kSuffix = QStringLiteral("/Contents/bin");
    if (binDir.endsWith(kSuffix)) {
        const QString app = binDir.left(binDir.size() - kSuffix.size());
        if (app.endsWith(QLatin1String(".app")) && app.lastIndexOf(QLatin1Char('/')) < app.size() - 5)
            return Bundle(app, true);
    }
    return Bundle(binDir, false);
}

Bundle Bundle::atPath(const QString &bundlePath)
{
    const QString clean = QDir::cleanPath(QDir(bundlePath).absolutePath());
    return Bundle(clean, clean.endsWith(QLatin1String(".app")));
}

QString Bundle::contentsPath() const { return m_isAppBundle ? m_path + QStringLiteral("/Contents") : m_path; }
QString Bundle::infoPlistPath() const { return m_isAppBundle ? contentsPath() + QStringLiteral("/Info.plist") : QString(); }
QString Bundle::binPath() const { return m_isAppBundle ? contentsPath() + QStringLiteral("/bin") : m_path; }
QString Bundle::resourcesPath() const { return m_isAppBundle ? contentsPath() + QStringLiteral("/Resources") : QString(); }

QVariant Bundle::infoValue(const QString &key) const
{
    const QString plistPath = infoPlistPath();
    if (plistPath.isEmpty())
        return {};
    QFile file(plistPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Info.plist is a few hundred bytes; anything much larger is not ours.
    const QByteArray bytes = file.read(1 << 20);
    if (bytes.isEmpty())
        return {};
    std::unique_ptr<PList::Structure> root;
    if (bytes.startsWith("bplist"))
        root.reset(PList::Structure::FromBin(std::vector<char>(bytes.begin(), bytes.end())));
    else
        root.reset(PList::Structure::FromXml(bytes.toStdString()));
    if (!root || root->GetType() != PLIST_DICT)
        return {};
    auto *dict = static_cast<PList::Dictionary *>(root.get());
    auto it = dict->Find(key.toStdString());
    if (it == dict->End())
        return {};
    return toVariant(it->second);
}

std::optional<QString> Bundle::infoString(const QString &key) const
{
    const QVariant v = infoValue(key);
    if (v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}

std::optional<QString> Bundle::resource(const QString &name, const QString &extension) const
{
    const QString dir = resourcesPath();
    if (dir.isEmpty())
        return std::nullopt;
    const QString path = dir + QLatin1Char('/') + name + (extension.isEmpty() ? QString() : QLatin1Char('.') + extension);
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    return path;
}

QString Bundle::helperProgram(const QString &name) const
{
    return binPath() + QLatin1Char('/') + name;
}
