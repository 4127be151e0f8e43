#include "platform/Bundle.h"

#include "platform/PlistValue.h"
#include "platform/SmallFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    // Info.plist is a few hundred bytes; anything much larger is not ours.
    const SmallFile file = readSmallFile(plistPath, 1 << 20);
    if (!file.ok() || file.bytes.isEmpty())
        return {};
    const std::unique_ptr<PList::Dictionary> dict = parsePlistDictionary(file.bytes);
    return dict ? plistValue(*dict, key) : QVariant();
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
