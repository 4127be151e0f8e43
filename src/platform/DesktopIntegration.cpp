#include "platform/DesktopIntegration.h"

#include "platform/AtomicWrite.h"
#include "platform/DesktopActions.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

const QString kId = QStringLiteral(FERROWHISTLE_BUNDLE_ID);

void fail(const QString &sentence)
{
    throw DesktopIntegrationError(sentence.toStdString());
}

// Neither file format can carry a line break in a value, and the other
// control characters would reach launchers unchanged; refuse them all.
void requireUsablePath(const QString &path, const char *what)
{
    if (!QDir::isAbsolutePath(path))
        fail(QStringLiteral("the %1 \"%2\" is not an absolute path").arg(QLatin1String(what), path));
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            fail(QStringLiteral("the %1 \"%2\" contains a control character, which a desktop entry cannot hold")
                     .arg(QLatin1String(what), path));
    }
}

// A value of type string in a desktop entry: the backslash is the escape
// character, so it is doubled (line breaks were refused above).
QString desktopString(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return out;
}

// An Exec value: string escaping first, then a literal % is written %%
// (a lone one starts a field code).
QString desktopExec(const QString &commandLine)
{
    QString out = desktopString(commandLine);
    out.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return out;
}

void writeAtomically(const QString &path, const QByteArray &bytes)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        fail(QStringLiteral("can't create the folder %1").arg(folder));
    if (const std::optional<QString> reason = writeFileAtomically(
            path, bytes, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther))
        fail(QStringLiteral("can't write %1: %2").arg(path, *reason));
}

} // namespace

QString quotedExecArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool plain = !argument.isEmpty()
                       && std::none_of(argument.begin(), argument.end(), [](QChar c) { return reserved.contains(c); });
    if (plain)
        return argument;
    QString out = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            out += QLatin1Char('\\');
        out += c;
    }
    out += QLatin1Char('"');
    return out;
}

QString userDataHome()
{
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.local/share");
}

QString desktopEntryPath(const QString &dataHome)
{
    return dataHome + QStringLiteral("/applications/") + kId + QStringLiteral(".desktop");
}

QString dbusServicePath(const QString &dataHome)
{
    return dataHome + QStringLiteral("/dbus-1/services/") + kId + QStringLiteral(".service");
}

QByteArray desktopEntryText(const QString &executablePath, const QString &iconPath)
{
    requireUsablePath(executablePath, "program");
    requireUsablePath(iconPath, "icon");
    const QString exec = quotedExecArgument(executablePath);
    QStringList ids;
    for (const DesktopAction &action : launcherActions())
        ids.append(action.id);

    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Version=1.4\n"
                                  "Name=Ferrowhistle\n"
                                  "GenericName=Message Card\n"
                                  "Comment=Shows short messages in a floating card\n");
    text += QStringLiteral("Exec=") + desktopExec(exec) + QLatin1Char('\n');
    text += QStringLiteral("Icon=") + desktopString(iconPath) + QLatin1Char('\n');
    text += QStringLiteral("Terminal=false\n"
                           "StartupNotify=false\n"
                           "Categories=Utility;\n"
                           "DBusActivatable=true\n");
    text += QStringLiteral("Actions=") + ids.join(QLatin1Char(';')) + QStringLiteral(";\n");
    // Launchers that do not use D-Bus activation run the Exec line; the
    // --action option hands the action to the running instance.
    for (const DesktopAction &action : launcherActions()) {
        text += QStringLiteral("\n[Desktop Action %1]\n").arg(action.id);
        text += QStringLiteral("Name=") + desktopString(action.title) + QLatin1Char('\n');
        text += QStringLiteral("Exec=") + desktopExec(exec + QStringLiteral(" --action ") + action.id)
                + QLatin1Char('\n');
    }
    return text.toUtf8();
}

QByteArray dbusServiceText(const QString &executablePath)
{
    requireUsablePath(executablePath, "program");
    // dbus-daemon reads the value with the same backslash escapes as a
    // desktop entry (an unknown one makes it ignore the whole file), then
    // splits it like a shell; it has no field codes, so % stays as it is.
    return (QStringLiteral("[D-BUS Service]\nName=") + kId + QStringLiteral("\nExec=")
            + desktopString(quotedExecArgument(executablePath)) + QLatin1Char('\n'))
        .toUtf8();
}

void installDesktopIntegration(const QString &bundlePath, const QString &dataHome)
{
    requireUsablePath(bundlePath, "bundle");
    requireUsablePath(dataHome, "data folder");
    const QString bundle = QDir::cleanPath(bundlePath);
    const QString executable = bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    if (!QFileInfo(executable).isExecutable())
        fail(QStringLiteral("%1 is not a Ferrowhistle bundle: %2 is missing or not executable").arg(bundle, executable));
    const QString icon = bundle + QStringLiteral("/Contents/Resources/icons/ferrowhistle-256.png");

    // Everything is composed before anything is written.
    const QByteArray service = dbusServiceText(executable);
    const QByteArray entry = desktopEntryText(executable, icon);
    writeAtomically(dbusServicePath(dataHome), service);
    writeAtomically(desktopEntryPath(dataHome), entry);
}
