#include "location/DesktopIntegration.h"

#include "platform/AtomicWrite.h"
#include "platform/XdgFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <optional>

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
            fail(QStringLiteral("the %1 \"%2\" contains the control character U+%3, which a desktop entry cannot hold")
                     .arg(QLatin1String(what), path, QStringLiteral("%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper()));
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

// GLib loads an entry only when the first word of its Exec names a program
// it can find, and it looks that word up before it turns %% back into %: a
// program whose path holds a % would never be found. Such a program is run
// through the shell, which takes the path as $0 and never reads it as shell
// text; every other one is named directly.
const QString kShell = QStringLiteral("/bin/sh");
const QString kShellRunsItsZero = QStringLiteral("exec \"$0\" \"$@\"");

// The command line that starts executablePath, before the escaping of Exec.
QString execCommand(const QString &executablePath)
{
    if (!executablePath.contains(QLatin1Char('%')))
        return quotedExecArgument(executablePath);
    return QStringList{kShell, QStringLiteral("-c"), quotedExecArgument(kShellRunsItsZero),
                       quotedExecArgument(executablePath)}
        .join(QLatin1Char(' '));
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

QString userDataHome() { return xdgDataHome(); }

QString desktopEntryPath(const QString &dataHome)
{
    return dataHome + QStringLiteral("/applications/") + kId + QStringLiteral(".desktop");
}

QString dbusServicePath(const QString &dataHome)
{
    return dataHome + QStringLiteral("/dbus-1/services/") + kId + QStringLiteral(".service");
}

QByteArray desktopEntryText(const QString &executablePath, const QString &iconPath,
                            const QList<LauncherAction> &actions)
{
    requireUsablePath(executablePath, "program");
    requireUsablePath(iconPath, "icon");
    const QString exec = execCommand(executablePath);
    QStringList ids;
    for (const LauncherAction &action : actions)
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
    for (const LauncherAction &action : actions) {
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

namespace {

// The bundle's program and icon, once the bundle is known to hold one.
struct BundleProgram {
    QString executable;
    QString icon;
};

BundleProgram bundleProgram(const QString &bundlePath)
{
    requireUsablePath(bundlePath, "bundle");
    const QString bundle = QDir::cleanPath(bundlePath);
    BundleProgram p{bundle + QStringLiteral("/Contents/bin/Ferrowhistle"),
                    bundle + QStringLiteral("/Contents/Resources/icons/ferrowhistle-256.png")};
    if (!QFileInfo(p.executable).isExecutable())
        fail(QStringLiteral("%1 is not a Ferrowhistle bundle: %2 is missing or not executable").arg(bundle, p.executable));
    return p;
}

} // namespace

void installDesktopIntegration(const QString &bundlePath, const QString &dataHome,
                               const QList<LauncherAction> &actions)
{
    requireUsablePath(dataHome, "data folder");
    const BundleProgram program = bundleProgram(bundlePath);
    // Everything is composed before anything is written.
    const QByteArray service = dbusServiceText(program.executable);
    const QByteArray entry = desktopEntryText(program.executable, program.icon, actions);
    writeAtomically(dbusServicePath(dataHome), service);
    writeAtomically(desktopEntryPath(dataHome), entry);
}

namespace {

// The [Desktop Entry] group's raw values.
QHash<QString, QString> desktopEntryValues(const QByteArray &file)
{
    QHash<QString, QString> values;
    bool inMainGroup = false;
    for (const QByteArray &rawLine : file.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!inMainGroup || line.startsWith(QLatin1Char('#')) || eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        if (!values.contains(key)) // the first one counts
            values.insert(key, line.mid(eq + 1).trimmed());
    }
    return values;
}

// An Exec value's arguments, read as the desktop-entry rules do: the string
// escapes, then the quoting (inside double quotes a backslash makes the next
// " ` $ or backslash literal), then %% as % in each. Empty for an unclosed quote.
QStringList execArguments(const QString &value)
{
    QString unescaped;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            const QChar n = value[++i];
            unescaped += n == u's' ? QChar(u' ') : n == u't' ? QChar(u'\t') : n;
        } else {
            unescaped += value[i];
        }
    }
    QStringList arguments;
    QString current;
    bool inArgument = false;
    for (qsizetype i = 0; i < unescaped.size(); ++i) {
        const QChar c = unescaped[i];
        if (c == u'"') {
            inArgument = true;
            for (++i; i < unescaped.size() && unescaped[i] != u'"'; ++i) {
                if (unescaped[i] == u'\\' && i + 1 < unescaped.size()
                    && QStringLiteral("\"`$\\").contains(unescaped[i + 1]))
                    ++i;
                current += unescaped[i];
            }
            if (i >= unescaped.size())
                return {};
        } else if (c == u' ' || c == u'\t') {
            if (inArgument)
                arguments.append(current);
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.append(current);
    for (QString &argument : arguments)
        argument.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return arguments;
}

// The program an Exec value starts: its first argument, or the one the
// shell is handed to run (see execCommand).
QString execProgram(const QString &value)
{
    const QStringList arguments = execArguments(value);
    if (arguments.size() >= 4 && arguments[0] == kShell && arguments[1] == QLatin1String("-c")
        && arguments[2] == kShellRunsItsZero)
        return arguments[3];
    return arguments.value(0);
}

} // namespace

QString userConfigHome() { return xdgConfigHome(); }

QString autostartEntryPath(const QString &configHome)
{
    return configHome + QStringLiteral("/autostart/") + kId + QStringLiteral(".desktop");
}

QByteArray autostartEntryText(const QString &executablePath, const QString &iconPath)
{
    requireUsablePath(executablePath, "program");
    requireUsablePath(iconPath, "icon");
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Version=1.4\n"
                                  "Name=Ferrowhistle\n"
                                  "Comment=Shows short messages in a floating card\n");
    text += QStringLiteral("Exec=") + desktopExec(execCommand(executablePath)) + QLatin1Char('\n');
    text += QStringLiteral("Icon=") + desktopString(iconPath) + QLatin1Char('\n');
    text += QStringLiteral("Terminal=false\n"
                           "StartupNotify=false\n"
                           "X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

void installAutostartEntry(const QString &bundlePath, const QString &configHome)
{
    requireUsablePath(configHome, "config folder");
    const BundleProgram program = bundleProgram(bundlePath);
    writeAtomically(autostartEntryPath(configHome), autostartEntryText(program.executable, program.icon));
}

void removeAutostartEntry(const QString &configHome)
{
    const QString path = autostartEntryPath(configHome);
    QFile file(path);
    if (!file.remove() && QFileInfo(path).exists())
        fail(QStringLiteral("can't remove %1: %2").arg(path, file.errorString()));
}

namespace {

// An entry file's bytes; empty when there is none. An entry is a few
// hundred bytes: a larger file is not one of ours.
std::optional<QByteArray> readEntry(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 64 * 1024)
        return std::nullopt;
    return file.readAll();
}

// Whether the entry's Exec starts the program of the bundle at bundlePath.
bool startsBundle(const QHash<QString, QString> &values, const QString &bundlePath)
{
    const QString program = execProgram(values.value(QStringLiteral("Exec")));
    return !program.isEmpty()
           && QDir::cleanPath(program) == QDir::cleanPath(bundlePath) + QStringLiteral("/Contents/bin/Ferrowhistle");
}

} // namespace

bool autostartStartsBundle(const QString &bundlePath, const QString &configHome)
{
    const std::optional<QByteArray> file = readEntry(autostartEntryPath(configHome));
    if (!file)
        return false;
    const QHash<QString, QString> values = desktopEntryValues(*file);
    if (values.value(QStringLiteral("Hidden")) == QLatin1String("true")
        || values.value(QStringLiteral("X-GNOME-Autostart-enabled")) == QLatin1String("false")
        || values.value(QStringLiteral("Type")) != QLatin1String("Application"))
        return false;
    return startsBundle(values, bundlePath);
}

bool refreshDesktopEntry(const QString &bundlePath, const QString &dataHome, const QList<LauncherAction> &actions)
{
    requireUsablePath(dataHome, "data folder");
    const QString path = desktopEntryPath(dataHome);
    const std::optional<QByteArray> current = readEntry(path);
    if (!current || !startsBundle(desktopEntryValues(*current), bundlePath))
        return false;
    const BundleProgram program = bundleProgram(bundlePath);
    const QByteArray wanted = desktopEntryText(program.executable, program.icon, actions);
    if (*current == wanted)
        return false;
    writeAtomically(path, wanted);
    return true;
}
