// The desktop entry, the D-Bus activation file and the start-at-login entry,
// for bundles at awkward paths: what a launcher (GLib's, or one reading the
// rules as written) and dbus-daemon make of the Exec lines must be the
// program's exact path with the right arguments.
#include "location/DesktopIntegration.h"
#include "support/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Launcher actions as an app gives them; the last title holds the escape
// character of the format.
const QList<LauncherAction> kActions{
    {QStringLiteral("show-test-message"), QStringLiteral("Show Test Message")},
    {QStringLiteral("settings"), QStringLiteral("Settings\u2026")},
    {QStringLiteral("quit"), QStringLiteral("Quit \\ Leave")},
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A stand-in program that records how it was started: $0 and then each
// argument, one a line, in RECORDS/NAME, where NAME is its last argument
// ("main" without one). The record appears whole (written, then renamed).
QString makeBundle(const QString &bundle, const QString &records)
{
    const QString program = bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    QDir().mkpath(QFileInfo(program).path());
    QDir().mkpath(records);
    QFile f(program);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    const QByteArray folder = QFile::encodeName(records);
    f.write("#!/bin/sh\nlast=main\nfor a; do last=$a; done\n"
            "printf '%s\\n' \"$0\" \"$@\" > '" + folder + "'/\"$last.tmp\" && mv '" + folder + "'/\"$last.tmp\" '"
            + folder + "'/\"$last\"\n");
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    return program;
}

// What the stand-in recorded under NAME: its $0, then its arguments.
QStringList startedAs(const QString &records, const QString &name)
{
    QString text = QString::fromUtf8(readAll(records + QLatin1Char('/') + name));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// The value of KEY in [GROUP] of a desktop-entry style file, as written.
QString rawValue(const QByteArray &file, const QString &group, const QString &key)
{
    QString current;
    for (const QString &line : QString::fromUtf8(file).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('[')))
            current = line.mid(1, line.size() - 2);
        else if (current == group && line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1);
    }
    return {};
}

// A program run to its end: whether it exited 0, and all it printed.
struct Run {
    int exitCode = -1;
    QString output;
    bool ok() const { return exitCode == 0; }
};

Run run(const QString &program, const QStringList &args,
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000))
        return {-1, program + QStringLiteral(": ") + p.errorString()};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAll())};
}

// GLib runs the Exec lines itself only when it has no session bus: with
// one, it asks the bus to activate a D-Bus activatable app instead.
QProcessEnvironment withoutSessionBus()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/fw-no-bus"));
    return env;
}

// gio has no command for a desktop action; GLib's own call launches it.
// Run by the system's Python, where python3-gi installs the bindings.
const char kSystemPython[] = "/usr/bin/python3";
const char kLaunchActions[] = "import sys, gi\n"
                              "gi.require_version('Gio', '2.0')\n"
                              "from gi.repository import Gio\n"
                              "info = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])\n"
                              "if info is None: sys.exit('GLib cannot load ' + sys.argv[1])\n"
                              "for action in sys.argv[2:]: info.launch_action(action, None)\n";

// Exec as the desktop-entry rules read it: the string escapes first, then
// the quoting (inside double quotes, a backslash before a quote, backtick,
// dollar or backslash makes that one literal), then %% in each argument is
// a literal %.
QStringList parseDesktopExec(const QString &value)
{
    QString unescaped;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            const QChar n = value[++i];
            unescaped += n == u's' ? QChar(u' ') : n == u'n' ? QChar(u'\n') : n == u't' ? QChar(u'\t')
                       : n == u'r' ? QChar(u'\r') : n;
        } else {
            unescaped += value[i];
        }
    }
    QStringList argv;
    QString current;
    bool inWord = false;
    for (qsizetype i = 0; i < unescaped.size(); ++i) {
        const QChar c = unescaped[i];
        if (c == u'"') {
            inWord = true;
            for (++i; i < unescaped.size() && unescaped[i] != u'"'; ++i) {
                if (unescaped[i] == u'\\' && i + 1 < unescaped.size()
                    && QStringLiteral("\"`$\\").contains(unescaped[i + 1]))
                    ++i;
                current += unescaped[i];
            }
        } else if (c == u' ') {
            if (inWord)
                argv.append(current);
            current.clear();
            inWord = false;
        } else {
            current += c;
            inWord = true;
        }
    }
    if (inWord)
        argv.append(current);
    for (QString &a : argv)
        a.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return argv;
}

} // namespace

class TestDesktopIntegration : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void execLinesGiveBackTheExactPath_data();
    void execLinesGiveBackTheExactPath();
    void unusableBundleWritesNothing();
    void autostartEntryStartsOnlyWhatItNames();
    void refreshRewritesOnlyThisCopysEntry();
};

void TestDesktopIntegration::execLinesGiveBackTheExactPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QStringLiteral("Ferrowhistle.app");
    QTest::newRow("spaces") << QStringLiteral("My Apps/Ferrowhistle copy.app");
    QTest::newRow("shell characters") << QStringLiteral("a\"b'c $HOME `id` \\x\\\\y; (z) * ? # ~ & | < >.app");
    QTest::newRow("percent") << QStringLiteral("pct 100%.app");
    QTest::newRow("percent and field codes") << QStringLiteral("100% %u %%f %k.app");
    QTest::newRow("percent among quotes") << QStringLiteral("50% \"off\" \\%u $1 `x` 'y'.app");
    QTest::newRow("equals and a leading tilde") << QStringLiteral("~a=b/#c.app");
    QTest::newRow("non-ASCII") << QStringLiteral("Programme é 👋.app");
}

// Every Exec line of both entries starts the program at its exact path with
// the right arguments, read by the rules as written and by GLib, whose
// launcher most desktops use; the D-Bus activation file starts it too.
void TestDesktopIntegration::execLinesGiveBackTheExactPath()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QString records = dir.path() + QStringLiteral("/records");
    const QString bundle = dir.path() + QLatin1Char('/') + name;
    const QString program = makeBundle(bundle, records);
    QVERIFY(!program.isEmpty());
    const QString dataHome = dir.path() + QStringLiteral("/data");
    const QString configHome = dir.path() + QStringLiteral("/config");

    QVERIFY(!autostartStartsBundle(bundle, configHome));
    installDesktopIntegration(bundle, dataHome, kActions);
    installAutostartEntry(bundle, configHome);
    const QString entryPath = desktopEntryPath(dataHome);
    const QString autostartPath = autostartEntryPath(configHome);
    QCOMPARE(autostartPath, configHome + QStringLiteral("/autostart/com.copperkestrel.Ferrowhistle.desktop"));
    const QByteArray entry = readAll(entryPath);
    const QByteArray autostart = readAll(autostartPath);

    // The desktop's own checker accepts both, without a single remark.
    for (const QString &path : {entryPath, autostartPath}) {
        const Run validate = run(QStringLiteral("desktop-file-validate"), {path});
        QVERIFY2(validate.ok() && validate.output.isEmpty(), qPrintable(path + QStringLiteral(": ") + validate.output));
    }

    QStringList actionIds;
    for (const LauncherAction &action : kActions) {
        // As written: the escape character doubled.
        QCOMPARE(rawValue(entry, QStringLiteral("Desktop Action ") + action.id, QStringLiteral("Name")),
                 QString(action.title).replace(QStringLiteral("\\"), QStringLiteral("\\\\")));
        actionIds.append(action.id);
    }
    QCOMPARE(rawValue(entry, QStringLiteral("Desktop Entry"), QStringLiteral("Actions")),
             actionIds.join(QLatin1Char(';')) + QLatin1Char(';'));

    // Read by the rules as written and run: the launcher entry, its actions
    // and the start-at-login entry.
    const auto runAsWritten = [&](const QByteArray &file, const QString &group) {
        const QStringList argv = parseDesktopExec(rawValue(file, group, QStringLiteral("Exec")));
        return !argv.isEmpty() && QProcess::execute(argv.first(), argv.mid(1)) == 0;
    };
    QVERIFY(runAsWritten(entry, QStringLiteral("Desktop Entry")));
    QCOMPARE(startedAs(records, QStringLiteral("main")), QStringList{program});
    for (const LauncherAction &action : kActions) {
        QVERIFY(runAsWritten(entry, QStringLiteral("Desktop Action ") + action.id));
        QCOMPARE(startedAs(records, action.id), (QStringList{program, QStringLiteral("--action"), action.id}));
    }
    QVERIFY(QDir(records).removeRecursively() && QDir().mkpath(records));
    QVERIFY(runAsWritten(autostart, QStringLiteral("Desktop Entry")));
    QCOMPARE(startedAs(records, QStringLiteral("main")), QStringList{program});
    QVERIFY(QDir(records).removeRecursively() && QDir().mkpath(records));

    // Launched by GLib: it loads the entries at all, and runs what they say.
    const Run launch = run(QStringLiteral("gio"), {QStringLiteral("launch"), entryPath}, withoutSessionBus());
    QVERIFY2(launch.ok(), qPrintable(launch.output));
    QTRY_COMPARE_WITH_TIMEOUT(startedAs(records, QStringLiteral("main")), QStringList{program}, 30000);
    const Run actions = run(QLatin1String(kSystemPython), QStringList{QStringLiteral("-c"), QLatin1String(kLaunchActions), entryPath} + actionIds,
                            withoutSessionBus());
    QVERIFY2(actions.ok(), qPrintable(actions.output));
    for (const LauncherAction &action : kActions)
        QTRY_COMPARE_WITH_TIMEOUT(startedAs(records, action.id),
                                  (QStringList{program, QStringLiteral("--action"), action.id}), 30000);
    QVERIFY(QFile::remove(records + QStringLiteral("/main")));
    const Run login = run(QStringLiteral("gio"), {QStringLiteral("launch"), autostartPath}, withoutSessionBus());
    QVERIFY2(login.ok(), qPrintable(login.output));
    QTRY_COMPARE_WITH_TIMEOUT(startedAs(records, QStringLiteral("main")), QStringList{program}, 30000);

    // The start-at-login entry is read back as this bundle's, and only its.
    QVERIFY(autostartStartsBundle(bundle, configHome));
    QVERIFY(autostartStartsBundle(bundle + QLatin1Char('/'), configHome));
    QVERIFY(!autostartStartsBundle(bundle + QStringLiteral("x"), configHome));

    // dbus-daemon starts the program the activation file names. It never
    // takes the bus name, so the activation is not waited for.
    QVERIFY(QFile::remove(records + QStringLiteral("/main")));
    PrivateBus bus(dir.path() + QStringLiteral("/bus"), QFileInfo(dbusServicePath(dataHome)).path());
    QVERIFY(bus.isRunning());
    bus.connection().interface()->asyncCall(QStringLiteral("StartServiceByName"),
                                            QStringLiteral(FERROWHISTLE_BUNDLE_ID), 0u);
    QTRY_COMPARE_WITH_TIMEOUT(startedAs(records, QStringLiteral("main")), QStringList{program}, 30000);
}

void TestDesktopIntegration::unusableBundleWritesNothing()
{
    QTemporaryDir dir;
    const QString dataHome = dir.path() + QStringLiteral("/data");
    const auto refusal = [&](const QString &bundle) {
        try {
            installDesktopIntegration(bundle, dataHome, kActions);
        } catch (const DesktopIntegrationError &e) {
            return QString::fromUtf8(e.what());
        }
        return QString();
    };

    const QString lineBreak = dir.path() + QStringLiteral("/two\nlines.app");
    QVERIFY(!makeBundle(lineBreak, dir.path() + QStringLiteral("/m")).isEmpty());
    QVERIFY2(refusal(lineBreak).contains(QStringLiteral("control character U+000A")), qPrintable(refusal(lineBreak)));
    const QString empty = dir.path() + QStringLiteral("/Empty.app");
    QVERIFY(QDir().mkpath(empty));
    QVERIFY2(refusal(empty).contains(empty + QStringLiteral("/Contents/bin/Ferrowhistle is missing")),
             qPrintable(refusal(empty)));
    QVERIFY(refusal(QStringLiteral("relative/Ferrowhistle.app")).contains(QStringLiteral("not an absolute path")));
    QVERIFY(!QFileInfo::exists(dataHome));

    // A data folder that cannot be made: the message names it.
    const QString bundle = dir.path() + QStringLiteral("/Ok.app");
    QVERIFY(!makeBundle(bundle, dir.path() + QStringLiteral("/m")).isEmpty());
    QFile blocker(dir.path() + QStringLiteral("/file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    try {
        installDesktopIntegration(bundle, blocker.fileName() + QStringLiteral("/data"), kActions);
        QFAIL("a data folder below a file was accepted");
    } catch (const DesktopIntegrationError &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains(blocker.fileName()), e.what());
    }
}

// The entry is rewritten with new actions only when it starts this copy's
// program, and only when what it lists differs; the D-Bus file is left alone.
void TestDesktopIntegration::refreshRewritesOnlyThisCopysEntry()
{
    QTemporaryDir dir;
    const QString dataHome = dir.path() + QStringLiteral("/data");
    const QString entryPath = desktopEntryPath(dataHome);
    const QString mine = dir.path() + QStringLiteral("/My Apps/Ferrowhistle.app");
    const QString other = dir.path() + QStringLiteral("/Other.app");
    QVERIFY(!makeBundle(mine, dir.path() + QStringLiteral("/m")).isEmpty());
    QVERIFY(!makeBundle(other, dir.path() + QStringLiteral("/m")).isEmpty());
    QList<LauncherAction> more = kActions;
    more.insert(2, {QStringLiteral("revert-update"), QStringLiteral("Revert to Previous Version")});

    // No entry: none is made.
    QVERIFY(!refreshDesktopEntry(mine, dataHome, more));
    QVERIFY(!QFileInfo::exists(entryPath));

    installDesktopIntegration(mine, dataHome, kActions);
    const QByteArray service = readAll(dbusServicePath(dataHome));
    QVERIFY(!refreshDesktopEntry(mine, dataHome, kActions));
    QVERIFY(refreshDesktopEntry(mine + QLatin1Char('/'), dataHome, more));
    const QByteArray listed = readAll(entryPath);
    QCOMPARE(rawValue(listed, QStringLiteral("Desktop Entry"), QStringLiteral("Actions")),
             QStringLiteral("show-test-message;settings;revert-update;quit;"));
    QCOMPARE(parseDesktopExec(rawValue(listed, QStringLiteral("Desktop Action revert-update"), QStringLiteral("Exec"))),
             (QStringList{mine + QStringLiteral("/Contents/bin/Ferrowhistle"), QStringLiteral("--action"),
                          QStringLiteral("revert-update")}));
    QCOMPARE(readAll(dbusServicePath(dataHome)), service);
    QVERIFY(refreshDesktopEntry(mine, dataHome, kActions));
    QVERIFY(!QString::fromUtf8(readAll(entryPath)).contains(QStringLiteral("revert-update")));

    // Another copy's entry, or one the user wrote for something else, stays.
    installDesktopIntegration(other, dataHome, kActions);
    const QByteArray others = readAll(entryPath);
    QVERIFY(!refreshDesktopEntry(mine, dataHome, more));
    QCOMPARE(readAll(entryPath), others);
    QFile f(entryPath);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[Desktop Entry]\nType=Application\nName=X\nExec=/usr/bin/true\n");
    f.close();
    QVERIFY(!refreshDesktopEntry(mine, dataHome, more));
    QCOMPARE(readAll(entryPath), QByteArray("[Desktop Entry]\nType=Application\nName=X\nExec=/usr/bin/true\n"));
}

void TestDesktopIntegration::autostartEntryStartsOnlyWhatItNames()
{
    QTemporaryDir dir;
    const QString configHome = dir.path() + QStringLiteral("/config");
    const QString entryPath = autostartEntryPath(configHome);
    const QString mine = dir.path() + QStringLiteral("/Mine.app");
    const QString other = dir.path() + QStringLiteral("/Other.app");
    QVERIFY(!makeBundle(mine, dir.path() + QStringLiteral("/m")).isEmpty());
    QVERIFY(!makeBundle(other, dir.path() + QStringLiteral("/m")).isEmpty());
    const auto writeEntry = [&](const QByteArray &text) {
        QFile f(entryPath);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };

    // Removing what is not there is no error; nothing starts.
    removeAutostartEntry(configHome);
    QVERIFY(!autostartStartsBundle(mine, configHome));

    installAutostartEntry(other, configHome);
    QVERIFY(autostartStartsBundle(other, configHome));
    QVERIFY(!autostartStartsBundle(mine, configHome));
    installAutostartEntry(mine, configHome); // replaces it
    QVERIFY(autostartStartsBundle(mine, configHome) && !autostartStartsBundle(other, configHome));

    // What the session would skip starts nothing: a hidden or disabled
    // entry, another kind of entry, a Exec line in another group, or an
    // unclosed quote.
    const QByteArray entry = readAll(entryPath);
    writeEntry(entry + "Hidden=true\n");
    QVERIFY(!autostartStartsBundle(mine, configHome));
    writeEntry(QByteArray(entry).replace("X-GNOME-Autostart-enabled=true", "X-GNOME-Autostart-enabled=false"));
    QVERIFY(!autostartStartsBundle(mine, configHome));
    writeEntry(QByteArray(entry).replace("Type=Application", "Type=Link"));
    QVERIFY(!autostartStartsBundle(mine, configHome));
    const QByteArray program = QFile::encodeName(mine + QStringLiteral("/Contents/bin/Ferrowhistle"));
    writeEntry("[Desktop Entry]\nType=Application\nName=X\n[Other]\nExec=" + program + "\n");
    QVERIFY(!autostartStartsBundle(mine, configHome));
    writeEntry("[Desktop Entry]\nType=Application\nName=X\nExec=\"" + program + "\n");
    QVERIFY(!autostartStartsBundle(mine, configHome));
    // An entry written by hand, with arguments after the program, does.
    writeEntry("# mine\n[Desktop Entry]\nType=Application\nName=X\nExec=" + program + " --test-message hi\n");
    QVERIFY(autostartStartsBundle(mine, configHome));

    removeAutostartEntry(configHome);
    QVERIFY(!QFileInfo::exists(entryPath));
    QVERIFY(!autostartStartsBundle(mine, configHome));

    // A folder that can't be made: the reason names it, and no entry appears.
    const QString blocked = dir.path() + QStringLiteral("/blocked");
    QVERIFY(QDir().mkpath(blocked));
    QFile blocker(blocked + QStringLiteral("/autostart"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    try {
        installAutostartEntry(mine, blocked);
        QFAIL("an autostart folder below a file was accepted");
    } catch (const DesktopIntegrationError &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains(blocker.fileName()), e.what());
    }
    QVERIFY(!autostartStartsBundle(mine, blocked));
    // An entry that can't be removed (a folder in its place) says so.
    QVERIFY(QDir().mkpath(entryPath + QStringLiteral("/inside")));
    try {
        removeAutostartEntry(configHome);
        QFAIL("an entry that stayed was reported removed");
    } catch (const DesktopIntegrationError &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains(entryPath), e.what());
    }

    // The real config folder: XDG_CONFIG_HOME when absolute, else ~/.config.
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", configHome.toUtf8());
    QCOMPARE(userConfigHome(), configHome);
    qputenv("XDG_CONFIG_HOME", "relative/config");
    QCOMPARE(userConfigHome(), QDir::homePath() + QStringLiteral("/.config"));
    qputenv("XDG_CONFIG_HOME", saved);
}

QTEST_GUILESS_MAIN(TestDesktopIntegration)
#include "tst_DesktopIntegration.moc"
