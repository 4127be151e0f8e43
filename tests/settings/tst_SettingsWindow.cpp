// The settings window on a real X server, driven by an updater that checks a
// feed served over HTTPS on loopback.
#include "settings/SettingsWindow.h"

#include "../update/LoopbackHttpsServer.h"
#include "../update/UpdateTestSupport.h"
#include "update/Updater.h"
#include "platform/SystemLog.h"
#include "support/TestEnvironment.h"
#include "update/ReleaseFeed.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
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
        return SettingsWindow::showOrRaise(*m_updater, [this](const Release &r) { m_installs << r; });
    }
    void serveFeed(const QString &extra = {})
    {
        m_server->serve(Server::response(200, Server::feed(49, QStringLiteral("https://dl.example.org/F.zip"), extra)));
    }
    void checkAndSettle()
    {
        runToEnd(m_updater->check(true));
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
        QVERIFY(QFile::remove(m_settings.path()) && QDir().mkpath(m_settings.path()));
        window->automaticSwitch()->click();
        QVERIFY(!m_updater->automatic());
        QVERIFY(!window->automaticSwitch()->isChecked());
        QVERIFY(QDir().rmdir(m_settings.path()));
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
    const QStringList saved{dir + QStringLiteral("/settings-window-offer.png"), dir + QStringLiteral("/settings-window-failed.png")};
    bool ok = window->grab().save(saved.at(0));
    server.serve(Server::response(500, "down"));
    runToEnd(updater.check(true));
    ok = window->grab().save(saved.at(1)) && ok;
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
