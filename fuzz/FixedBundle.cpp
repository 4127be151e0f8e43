#include "FixedBundle.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>

namespace {
QString g_folder;
void removeFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(QFile::encodeName(g_folder).toStdString(), ignored);
}
} // namespace

QString fuzzFolder()
{
    if (g_folder.isEmpty()) {
        const QByteArray base = qgetenv("TMPDIR").isEmpty() ? QByteArray("/tmp") : qgetenv("TMPDIR");
        QByteArray tmpl = base + "/ferrowhistle-fuzz-XXXXXX";
        if (!::mkdtemp(tmpl.data()))
            std::abort();
        g_folder = QFile::decodeName(tmpl);
        std::atexit(removeFolder);
    }
    return g_folder;
}

void writeFuzzFile(const QString &path, const QByteArray &bytes, unsigned mode)
{
    QFile::remove(path);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        std::abort();
    f.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

QByteArray readFixedData(const char *name)
{
    QFile f(QStringLiteral(FW_FUZZ_DATA "/") + QLatin1String(name));
    if (!f.open(QIODevice::ReadOnly))
        std::abort();
    return f.readAll();
}

QString makeFixedBundle(const QString &dir, const QString &identifier)
{
    const QString app = dir + QStringLiteral("/Ferrowhistle.app");
    for (const char *sub : {"", "/Contents", "/Contents/bin", "/Contents/Resources", "/Contents/Resources/Trust"}) {
        QDir().mkpath(app + QLatin1String(sub));
        ::chmod(QFile::encodeName(app + QLatin1String(sub)).constData(), 0755);
    }
    writeFuzzFile(app + QStringLiteral("/Contents/Info.plist"),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>CFBundleIdentifier</key><string>" + identifier.toUtf8() + "</string>"
                  "<key>CFBundleExecutable</key><string>Ferrowhistle</string>"
                  "<key>CFBundleShortVersionString</key><string>1.0</string>"
                  "<key>CFBundleVersion</key><string>100</string></dict></plist>\n");
    writeFuzzFile(app + QStringLiteral("/Contents/bin/Ferrowhistle"), "#!/bin/sh\nexit 0\n", 0755);
    const QByteArray anchors = readFixedData("anchors.pem");
    writeFuzzFile(app + QStringLiteral("/Contents/Resources/Trust/codesigning-anchors.pem"), anchors);
    writeFuzzFile(app + QStringLiteral("/Contents/Resources/Trust/notary-anchors.pem"), anchors);
    return app;
}
