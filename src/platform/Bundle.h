#pragma once

#include <QString>
#include <QVariant>
#include <optional>

// An application bundle on disk: X.app/Contents/{Info.plist,bin,Resources}.
// An executable outside any bundle has its own folder as its bundle and no
// Info.plist, so every lookup falls back. Nothing is cached: each call reads
// the disk again, so a bundle replaced underneath us answers with its new
// values.
class Bundle {
public:
    // The bundle of the running executable, found through /proc/self/exe.
    static Bundle main();
    // The bundle that an executable at this path belongs to.
    static Bundle forExecutable(const QString &executablePath);
    // A bundle directory given directly (X.app). Does not check the disk.
    static Bundle atPath(const QString &bundlePath);

    // The bundle directory (X.app, or the executable's folder).
    QString path() const { return m_path; }
    bool isAppBundle() const { return m_isAppBundle; }
    QString contentsPath() const;
    QString infoPlistPath() const;
    QString binPath() const;
    QString resourcesPath() const;

    // The value of a key in Info.plist with its plist type: QString, bool,
    // qint64 (integer), double (real), QDateTime (date). Invalid when the file
    // or the key is missing, the file does not parse, or the type is another.
    QVariant infoValue(const QString &key) const;
    // The value when it is a string, nothing otherwise.
    std::optional<QString> infoString(const QString &key) const;
    // The bundle identifier (CFBundleIdentifier) if it is a string.
    std::optional<QString> identifier() const { return infoString(QStringLiteral("CFBundleIdentifier")); }

    // Path of Resources/NAME.EXT if it exists as a file.
    std::optional<QString> resource(const QString &name, const QString &extension) const;
    // Path of another program shipped in Contents/bin (next to the app).
    QString helperProgram(const QString &name) const;

private:
    Bundle(QString path, bool isAppBundle) : m_path(std::move(path)), m_isAppBundle(isAppBundle) {}
    QString m_path;
    bool m_isAppBundle = false;
};
