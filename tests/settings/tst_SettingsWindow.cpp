// The settings window on a real X server, driven by an updater that checks a
// feed served over HTTPS on loopback.
#include "settings/SettingsWindow.h"

#include "../update/LoopbackHttpsServer.h"
#include "../update/UpdateTestSupport.h"
#include "update/Updater.h"
#include "platform/DefaultsWriter.h"
#include "location/DesktopIntegration.h"
#include "platform/SystemLog.h"
#include "support/TestEnvironment.h"
#include "update/ReleaseFeed.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSemaphore>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <cstdio>

using Server = LoopbackHttpsServer;
using State = Updater::State;

class tst_SettingsWindow : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    std::unique_ptr<Server> m_server;
    std::unique_ptr<Updater> m_updater;
    const DefaultsStore m_settings = DefaultsStore::standard();
    QList<Release> m_installs;

    SettingsWindow *open()
    {
        return SettingsWindow::showOrRaise(*m_updater, [this](const Release &r) { m_installs << r; }, m_updater->bundlePath());
    }
    void serveFeed(const QString &extra = {})
    {
        m_server->serve(Server::response(200, Server::feed(49, QStringLiteral("https://dl.example.org/F.zip"), extra)));
    }
    void checkAndSettle()
    {
        runToEnd(m_updater->check(true));
    }
    // Closes the open window and opens a new one, which reads everything
    // afresh; it is returned once its start-at-login switch knows the entry.
    SettingsWindow *reopen()
    {
        if (SettingsWindow *w = SettingsWindow::instance())
            w->close();
        if (!QTest::qWaitFor([] { return !SettingsWindow::instance(); }, 30000))
            return nullptr;
        SettingsWindow *window = open();
        return QTest::qWaitFor([window] { return window->startAtLoginSwitch()->isEnabled(); }, 30000) ? window : nullptr;
    }
    static QByteArray contents(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // A program in the bundle at path, so an entry can start it.
    static QString addProgram(const QString &bundle)
    {
        const QString program = bundle + QStringLiteral("/Contents/bin/Ferrowhistle");
        QDir().mkpath(QFileInfo(program).path());
        QFile f(program);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        f.write("#!/bin/sh\n");
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
        return program;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
        m_ca.trust();
        setSystemLogSink([](const SystemLogEntry &) {});
    }
    void init()
    {
        QDir(QFileInfo(m_settings.path()).absolutePath()).removeRecursively();
        m_server = std::make_unique<Server>(&m_ca);
        m_settings.setValue(ReleaseFeed::kFeedURLKey, m_server->url(QStringLiteral("/appcast.json")).toString());
        Updater::Environment e;
        e.bundle = makeTestBundle(m_env.root(), {{"CFBundleShortVersionString", "1.0"}, {"CFBundleVersion", "48"}});
        m_updater = std::make_unique<Updater>(e);
        m_installs.clear();
    }
    void cleanup()
    {
        if (SettingsWindow *w = SettingsWindow::instance())
            w->close();
        QTRY_VERIFY_WITH_TIMEOUT(!SettingsWindow::instance(), 30000);
    }

    void oneWindowOfFixedWidthRaisedWhenAskedAgain()
    {
        SettingsWindow *window = open();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(open(), window);
        QCOMPARE(window->width(), SettingsWindow::kWidth);
        QCOMPARE(window->minimumHeight(), window->maximumHeight()); // fitted, not resizable
        // An ordinary window: in the taskbar and Alt-Tab, not a tool window.
        QCOMPARE(window->windowType(), Qt::Window);
        QCOMPARE(window->statusLabel()->text(), QStringLiteral("Not checked yet."));
        QVERIFY(window->versionLabel()->text().startsWith(QStringLiteral("Version ")));
        QVERIFY(window->versionLabel()->textInteractionFlags() & Qt::TextSelectableByMouse);
        QVERIFY(!window->installButton()->isVisibleTo(window) && !window->progress()->isVisibleTo(window));

        // Closing frees it; asking again makes a new one.
        const QPointer<SettingsWindow> closed(window);
        window->close();
        QTRY_VERIFY_WITH_TIMEOUT(!closed, 30000);
        QVERIFY(!SettingsWindow::instance());
        QVERIFY(open() != nullptr);
    }

    void checkNowRunsWithoutWaitingAndShowsProgress()
    {
        SettingsWindow *window = open();
        m_server->handler = [](const Server::Request &) { return Server::Answer{{}, true}; };
        window->checkNowButton()->click(); // returns while the feed is held
        QCOMPARE(m_updater->state(), State::checking());
        QVERIFY(!window->checkNowButton()->isEnabled());
        QVERIFY(window->progress()->isVisibleTo(window));
        QCOMPARE(window->statusLabel()->text(), QStringLiteral("Checking…"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->heldCount(), 1, 30000);
        m_server->release(Server::response(200, Server::feed(48)));
        QTRY_COMPARE_WITH_TIMEOUT(m_updater->state(), State::upToDate(), 30000);
        QVERIFY(window->checkNowButton()->isEnabled() && !window->progress()->isVisibleTo(window));
        QVERIFY(window->statusLabel()->text().startsWith(QStringLiteral("You have the latest version. Last checked ")));
    }

    void failureIsOrangeAndAnOfferCanBeInstalled()
    {
        SettingsWindow *window = open();
        m_server->serve(Server::response(500, "down"));
        checkAndSettle();
        QCOMPARE(m_updater->state().kind(), State::Kind::failed);
        QCOMPARE(window->statusLabel()->text(), m_updater->state().text());
        QCOMPARE(window->statusLabel()->palette().color(QPalette::WindowText), window->failureColor());
        QVERIFY(window->failureColor().hue() >= 25 && window->failureColor().hue() <= 40); // orange
        QVERIFY(window->checkNowButton()->isEnabled());

        serveFeed(QStringLiteral("\"notes\": \"Faster cards.\\nFewer bugs.\""));
        checkAndSettle();
        QVERIFY(window->installButton()->isVisibleTo(window));
        QVERIFY(window->statusLabel()->palette().color(QPalette::WindowText) != window->failureColor());
        window->installButton()->click();
        QCOMPARE(m_installs.size(), 1);
        QCOMPARE(m_installs.first().version, QStringLiteral("2.0"));
    }

    void hostileReleaseTextIsShownPlainAndFits()
    {
        const QString notes = QStringLiteral("<b>bold</b> <img src=x> <a href='https://evil'>link</a>\\n")
                              + QStringLiteral("\\u202Eevil-reversed ") + QString(20000, u'W');
        serveFeed(QStringLiteral("\"notes\": \"%1\"").arg(notes));
        checkAndSettle();
        QVERIFY2(m_updater->state().kind() == State::Kind::available, qPrintable(m_updater->state().text()));
        SettingsWindow *window = open();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // The markup is shown as the characters it is made of.
        bool markupShown = false;
        for (QLabel *label : window->findChildren<QLabel *>()) {
            QCOMPARE(label->textFormat(), Qt::PlainText);
            markupShown |= label->text().contains(QStringLiteral("<b>bold</b> <img src=x>"));
        }
        QVERIFY(markupShown);
        // Still 420 wide and no taller than the screen, however long the notes.
        QCOMPARE(window->width(), SettingsWindow::kWidth);
        QVERIFY(window->height() <= window->screen()->availableGeometry().height());
    }

    void theSwitchWritesTheSettingAndNeverBlocks()
    {
        SettingsWindow *window = open();
        QVERIFY(window->automaticSwitch()->isChecked());
        QSignalSpy changes(m_updater.get(), &Updater::changed);
        window->automaticSwitch()->click();
        QCOMPARE(m_settings.boolean(Updater::kAutomaticCheckKey), false);
        window->automaticSwitch()->click();
        QCOMPARE(m_settings.boolean(Updater::kAutomaticCheckKey), true);
        QCOMPARE(changes.count(), 2);
        QVERIFY(window->statusLabel()->text() == QStringLiteral("Not checked yet."));

        // A folder where the settings file belongs: the switch still moves,
        // the value holds in memory, and the window goes on.
        // (The settings are written by a thread of their own: let it finish.)
        QVERIFY(DefaultsWriter::shared().waitUntilWritten(m_settings.path(), std::chrono::seconds(30)));
        QVERIFY(QFile::remove(m_settings.path()) && QDir().mkpath(m_settings.path()));
        window->automaticSwitch()->click();
        QVERIFY(!m_updater->automatic());
        QVERIFY(!window->automaticSwitch()->isChecked());
        QVERIFY(QDir().rmdir(m_settings.path()));
    }

    void startAtLoginFollowsTheEntryAndSaysWhyAWriteFailed()
    {
        const QString bundle = m_updater->bundlePath();
        QVERIFY(!addProgram(bundle).isEmpty());
        // The test's own XDG config folder, as the app finds it.
        const QString configHome = userConfigHome();
        QCOMPARE(configHome, m_env.root() + QStringLiteral("/config"));
        const QString entry = autostartEntryPath(configHome);
        QFile::remove(entry);

        SettingsWindow *window = reopen();
        QVERIFY(window);
        QCheckBox *box = window->startAtLoginSwitch();
        QCOMPARE(box->text(), QStringLiteral("Start at login"));
        QVERIFY(!box->isChecked());
        QVERIFY(!window->startAtLoginNote()->isVisibleTo(window));
        // Below the version line, in its section.
        QCOMPARE(box->parentWidget(), window->versionLabel()->parentWidget());
        QVERIFY(box->mapTo(window, QPoint()).y() > window->versionLabel()->mapTo(window, QPoint()).y());

        // With every worker thread held, the click still returns at once and
        // nothing is written: the write waits for a worker, not the window.
        QThreadPool *pool = QThreadPool::globalInstance();
        QSemaphore gate;
        QList<QFuture<void>> held;
        for (int i = 0; i < pool->maxThreadCount(); ++i)
            held << QtConcurrent::run(pool, [&gate] { gate.acquire(); });
        box->click();
        QVERIFY(!box->isEnabled());
        QVERIFY(!QFileInfo::exists(entry));
        gate.release(pool->maxThreadCount());
        for (QFuture<void> &f : held)
            f.waitForFinished();
        QTRY_VERIFY_WITH_TIMEOUT(box->isEnabled(), 30000);
        QVERIFY(box->isChecked());
        QVERIFY(autostartStartsBundle(bundle, configHome));
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(QStringLiteral("desktop-file-validate"), {entry});
        QVERIFY(validate.waitForFinished(30000));
        QCOMPARE(QString::fromUtf8(validate.readAll()), QString());
        QCOMPARE(validate.exitCode(), 0);

        // A new window reads the entry and leaves it as it is.
        const QByteArray written = contents(entry);
        const QDateTime writtenAt = QFileInfo(entry).lastModified();
        window = reopen();
        QVERIFY(window && window->startAtLoginSwitch()->isChecked());
        QCOMPARE(contents(entry), written);
        QCOMPARE(QFileInfo(entry).lastModified(), writtenAt);

        // An entry that starts another copy is not this copy's: off. Turning
        // it on makes it start this one.
        const QString other = m_env.root() + QStringLiteral("/Other.app");
        const QString otherProgram = addProgram(other);
        QFile f(entry);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(autostartEntryText(otherProgram, other + QStringLiteral("/icon.png")));
        f.close();
        window = reopen();
        QVERIFY(window && !window->startAtLoginSwitch()->isChecked());
        window->startAtLoginSwitch()->click();
        QTRY_VERIFY_WITH_TIMEOUT(window->startAtLoginSwitch()->isEnabled(), 30000);
        QVERIFY(window->startAtLoginSwitch()->isChecked());
        QVERIFY(autostartStartsBundle(bundle, configHome) && !autostartStartsBundle(other, configHome));

        // Off removes the entry, and no window puts it back.
        window->startAtLoginSwitch()->click();
        QTRY_VERIFY_WITH_TIMEOUT(window->startAtLoginSwitch()->isEnabled(), 30000);
        QVERIFY(!window->startAtLoginSwitch()->isChecked());
        QVERIFY(!QFileInfo::exists(entry));
        window = reopen();
        QVERIFY(window && !window->startAtLoginSwitch()->isChecked());
        QVERIFY(!QFileInfo::exists(entry));

        // A write that fails (a file where the autostart folder belongs):
        // the switch stays off, and the note below it says why in orange.
        const QString folder = QFileInfo(entry).path();
        QVERIFY(QDir(folder).removeRecursively());
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        window->startAtLoginSwitch()->click();
        QTRY_VERIFY_WITH_TIMEOUT(window->startAtLoginSwitch()->isEnabled(), 30000);
        QVERIFY(!window->startAtLoginSwitch()->isChecked());
        QLabel *note = window->startAtLoginNote();
        QVERIFY(note->isVisibleTo(window));
        QVERIFY2(note->text().startsWith(QStringLiteral("Start at login couldn't be changed: ")), qPrintable(note->text()));
        QVERIFY2(note->text().contains(folder), qPrintable(note->text()));
        QCOMPARE(note->palette().color(QPalette::WindowText), window->failureColor());
        QCOMPARE(window->width(), SettingsWindow::kWidth);

        // Once the folder can be made, the next try works and the note goes.
        QVERIFY(QFile::remove(folder));
        window->startAtLoginSwitch()->click();
        QTRY_VERIFY_WITH_TIMEOUT(window->startAtLoginSwitch()->isEnabled(), 30000);
        QVERIFY(window->startAtLoginSwitch()->isChecked());
        QVERIFY(!note->isVisibleTo(window));
        QVERIFY(autostartStartsBundle(bundle, configHome));
        QFile::remove(entry);
    }
};

// Pictures of the window to look at, not a test: `scripts/look-at-settings`
// runs this binary with --screenshots DIR under a virtual display.
static int saveScreenshots(const QString &dir)
{
    TestEnvironment env;
    TestCertificateAuthority ca;
    if (!ca.error.isEmpty())
        return 1;
    ca.trust();
    setSystemLogSink([](const SystemLogEntry &) {});
    Server server(&ca);
    const DefaultsStore settings = DefaultsStore::standard();
    settings.setValue(ReleaseFeed::kFeedURLKey, server.url(QStringLiteral("/appcast.json")).toString());
    Updater::Environment e;
    e.bundle = makeTestBundle(env.root(), {{"CFBundleShortVersionString", "1.0"}, {"CFBundleVersion", "48"}});
    Updater updater(e);
    server.serve(Server::response(200, Server::feed(49, QStringLiteral("https://dl.example.org/F.zip"),
                                                    QStringLiteral("\"notes\": \"Cards fade faster.\\nThe tray menu offers updates.\""))));
    runToEnd(updater.check(true));
    SettingsWindow *window = SettingsWindow::showOrRaise(updater, [](const Release &) {});
    if (!QTest::qWaitForWindowExposed(window))
        return 1;
    const QStringList saved{dir + QStringLiteral("/settings-window-offer.png"), dir + QStringLiteral("/settings-window-failed.png"),
                            dir + QStringLiteral("/settings-window-kept.png")};
    bool ok = window->grab().save(saved.at(0));
    server.serve(Server::response(500, "down"));
    runToEnd(updater.check(true));
    ok = window->grab().save(saved.at(1)) && ok;
    // After an update: the copy it replaced is kept, and nothing newer is out.
    makeTestBundle(env.root() + QStringLiteral("/kept"), {{"CFBundleShortVersionString", "0.9"}, {"CFBundleVersion", "47"}});
    ok = QDir().rename(env.root() + QStringLiteral("/kept/Ferrowhistle.app"), updater.previousCopyPath()) && ok;
    server.serve(Server::response(200, Server::feed(48, QStringLiteral("https://dl.example.org/F.zip"))));
    runToEnd(updater.check(true));
    QApplication::processEvents();
    ok = window->grab().save(saved.at(2)) && ok;
    delete window;
    for (const QString &path : saved)
        std::printf("%s\n", qPrintable(path));
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--screenshots") == 0)
        return saveScreenshots(QString::fromLocal8Bit(argv[2]));
    tst_SettingsWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SettingsWindow.moc"
