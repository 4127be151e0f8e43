// The desktop entry and the D-Bus activation file, for bundles at awkward
// paths: what a launcher and dbus-daemon make of the Exec lines must be the
// program's exact path.
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

// A stand-in program that records the path it was started as.
QString makeBundle(const QString &bundle, const QString &marker)
{
    const QString program = bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
    QDir().mkpath(QFileInfo(program).path());
    QFile f(program);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write("#!/bin/sh\nprintf '%s' \"$0\" > '" + QFile::encodeName(marker) + "'\n");
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    return program;
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
    QTest::newRow("percent and field codes") << QStringLiteral("100% %u %%f.app");
    QTest::newRow("non-ASCII") << QStringLiteral("Programme é 👋.app");
}

void TestDesktopIntegration::execLinesGiveBackTheExactPath()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QString marker = dir.path() + QStringLiteral("/started-as");
    const QString bundle = dir.path() + QLatin1Char('/') + name;
    const QString program = makeBundle(bundle, marker);
    QVERIFY(!program.isEmpty());
    const QString dataHome = dir.path() + QStringLiteral("/data");

    installDesktopIntegration(bundle, dataHome, kActions);

    const QByteArray entry = readAll(desktopEntryPath(dataHome));
    QCOMPARE(parseDesktopExec(rawValue(entry, QStringLiteral("Desktop Entry"), QStringLiteral("Exec"))),
             QStringList{program});
    QStringList actionIds;
    for (const LauncherAction &action : kActions) {
        const QString group = QStringLiteral("Desktop Action ") + action.id;
        QCOMPARE(parseDesktopExec(rawValue(entry, group, QStringLiteral("Exec"))),
                 (QStringList{program, QStringLiteral("--action"), action.id}));
        // As written: the escape character doubled.
        QCOMPARE(rawValue(entry, group, QStringLiteral("Name")),
                 QString(action.title).replace(QStringLiteral("\\"), QStringLiteral("\\\\")));
        actionIds.append(action.id);
    }
    QCOMPARE(rawValue(entry, QStringLiteral("Desktop Entry"), QStringLiteral("Actions")),
             actionIds.join(QLatin1Char(';')) + QLatin1Char(';'));

    // The desktop's own checker accepts it, without a single remark.
    QProcess validate;
    validate.setProcessChannelMode(QProcess::MergedChannels);
    validate.start(QStringLiteral("desktop-file-validate"), {desktopEntryPath(dataHome)});
    QVERIFY(validate.waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(validate.readAll()), QString());
    QCOMPARE(validate.exitCode(), 0);

    // dbus-daemon starts the program the activation file names. It never
    // takes the bus name, so the activation is not waited for.
    PrivateBus bus(dir.path() + QStringLiteral("/bus"), QFileInfo(dbusServicePath(dataHome)).path());
    QVERIFY(bus.isRunning());
    bus.connection().interface()->asyncCall(QStringLiteral("StartServiceByName"),
                                            QStringLiteral(FERROWHISTLE_BUNDLE_ID), 0u);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readAll(marker)), program, 10000);

    // The start-at-login entry, by the same writer: its Exec starts the same
    // program, the checker accepts it, and it is read back as this bundle's.
    const QString configHome = dir.path() + QStringLiteral("/config");
    QVERIFY(!autostartStartsBundle(bundle, configHome));
    installAutostartEntry(bundle, configHome);
    QCOMPARE(autostartEntryPath(configHome),
             configHome + QStringLiteral("/autostart/com.copperkestrel.Ferrowhistle.desktop"));
    const QByteArray autostart = readAll(autostartEntryPath(configHome));
    const QStringList argv = parseDesktopExec(rawValue(autostart, QStringLiteral("Desktop Entry"), QStringLiteral("Exec")));
    QCOMPARE(argv, QStringList{program});
    QVERIFY(autostartStartsBundle(bundle, configHome));
    QVERIFY(autostartStartsBundle(bundle + QLatin1Char('/'), configHome));
    QVERIFY(!autostartStartsBundle(bundle + QStringLiteral("x"), configHome));
    validate.start(QStringLiteral("desktop-file-validate"), {autostartEntryPath(configHome)});
    QVERIFY(validate.waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(validate.readAll()), QString());
    QCOMPARE(validate.exitCode(), 0);
    QVERIFY(QFile::remove(marker));
    QCOMPARE(QProcess::execute(argv.first(), argv.mid(1)), 0);
    QCOMPARE(QString::fromUtf8(readAll(marker)), program);
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
    QVERIFY2(refusal(lineBreak).contains(QStringLiteral("control character")), qPrintable(refusal(lineBreak)));
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
