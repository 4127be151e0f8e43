// The tray menu following the updater through its states, read the way a
// panel reads it. The tray and an updater run here, checking a feed served on
// loopback; the panel's watcher runs on a thread of its own, because the tray
// asks it questions and waits for the answers.
#include "app/TrayMenu.h"

#include "../update/LoopbackHttpsServer.h"
#include "../update/UpdateTestSupport.h"
#include "update/Updater.h"
#include "platform/SystemLog.h"
#include "support/StatusNotifierPanel.h"
#include "support/TestEnvironment.h"
#include "update/ReleaseFeed.h"

#include <QThread>
#include <QtTest>

using Server = LoopbackHttpsServer;
using State = Updater::State;

class tst_TrayMenuStates : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    TestCertificateAuthority m_ca;
    std::unique_ptr<Server> m_server;
    QThread m_panelThread;
    StatusNotifierWatcher *m_panel = nullptr;
    std::unique_ptr<Updater> m_updater;
    std::unique_ptr<TrayMenu> m_tray;
    QStringList m_performed;

    const QStringList m_idle{"Show Test Message", "Settings… [Control+,]", "---", "Quit Ferrowhistle"};

    QStringList menu() const { return m_panel->readMenu().describe(); }
    void click(const QString &label) const { m_panel->click(m_panel->readMenu().idOf(label)); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_ca.error.isEmpty(), qPrintable(m_ca.error));
        m_ca.trust();
        setSystemLogSink([](const SystemLogEntry &) {});
        m_server = std::make_unique<Server>(&m_ca);
        DefaultsStore::standard().setValue(ReleaseFeed::kFeedURLKey, m_server->url(QStringLiteral("/appcast.json")).toString());

        // The panel must be there before the first tray icon is made: Qt
        // decides then between a StatusNotifierItem and the old XEmbed tray.
        m_panelThread.start();
        m_panel = new StatusNotifierWatcher;
        m_panel->moveToThread(&m_panelThread);
        bool registered = false;
        QMetaObject::invokeMethod(
            m_panel,
            [this, &registered] {
                registered = m_panel->registerOn(
                    QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("panel")));
            },
            Qt::BlockingQueuedConnection);
        QVERIFY(registered);

        Updater::Environment e;
        e.bundle = makeTestBundle(m_env.root(), {{"CFBundleShortVersionString", "1.0"}, {"CFBundleVersion", "48"}});
        m_updater = std::make_unique<Updater>(e);
        m_tray = std::make_unique<TrayMenu>(
            *m_updater, TrayMenu::Actions{
                            .install = [this](const Release &r) { m_performed << "install " + r.version; },
                            .showTestMessage = [this] { m_performed << "test message"; },
                            .openSettings = [this] { m_performed << "settings"; },
                            .quit = [this] { m_performed << "quit"; },
                        });
        m_tray->show();
        QTRY_VERIFY_WITH_TIMEOUT(!m_panel->itemService().isEmpty(), 30000);
    }
    void cleanupTestCase()
    {
        m_tray.reset();
        QMetaObject::invokeMethod(m_panel, [this] { delete m_panel; }, Qt::BlockingQueuedConnection);
        m_panelThread.quit();
        m_panelThread.wait();
    }

    void theMenuFollowsTheUpdater()
    {
        QTRY_COMPARE_WITH_TIMEOUT(menu(), m_idle, 30000);

        // Checking: the feed is held, the menu stays as it was.
        m_server->handler = [](const Server::Request &) { return Server::Answer{{}, true}; };
        m_updater->check(true); // not awaited, as the settings window does
        QTRY_COMPARE_WITH_TIMEOUT(m_server->heldCount(), 1, 30000);
        QCOMPARE(m_updater->state(), State::checking());
        QCOMPARE(menu(), m_idle);

        // An offer of 2.0 leads with its install item; a click installs
        // exactly the release the item was built with.
        m_server->release(Server::response(200, Server::feed(49)));
        const QStringList offer{"Install Update 2.0 and Relaunch", "---", "Show Test Message",
                                "Settings… [Control+,]", "---", "Quit Ferrowhistle"};
        QTRY_COMPARE_WITH_TIMEOUT(menu(), offer, 30000);
        click(QStringLiteral("Install Update 2.0 and Relaunch"));
        QTRY_COMPARE_WITH_TIMEOUT(m_performed, QStringList{"install 2.0"}, 30000);

        // A check the user started fails: the offer is gone.
        m_server->serve(Server::response(500, "down"));
        runToEnd(m_updater->check(true));
        QCOMPARE(m_updater->state().kind(), State::Kind::failed);
        QCOMPARE(menu(), m_idle);

        // Up to date.
        m_server->serve(Server::response(200, Server::feed(48)));
        runToEnd(m_updater->check(true));
        QCOMPARE(m_updater->state(), State::upToDate());
        QCOMPARE(menu(), m_idle);
    }

    void eachItemDoesItsOwnThing()
    {
        m_performed.clear();
        click(QStringLiteral("Show Test Message"));
        click(QStringLiteral("Show Test Message"));
        click(QStringLiteral("Settings…"));
        click(QStringLiteral("Quit Ferrowhistle"));
        QTRY_COMPARE_WITH_TIMEOUT(m_performed, QStringList({"test message", "test message", "settings", "quit"}), 30000);
    }

    void aHostileVersionStaysOnOneLine()
    {
        m_server->serve(Server::response(
            200, QByteArray("{\"version\": \"3.0\\n<b>&beta</b>\\t") + QByteArray(500, 'x')
                     + "\", \"build\": 99, \"url\": \"https://dl.example.org/F.zip\", \"sha256\": \"" + QByteArray(64, 'a')
                     + "\"}"));
        runToEnd(m_updater->check(true));
        QCOMPARE(m_updater->state().kind(), State::Kind::available);
        const QString first = m_tray->menu().actions().first()->text();
        QVERIFY2(!first.contains(u'\n') && !first.contains(u'\t') && first.size() < 120, qPrintable(first));
        QVERIFY(first.contains(QStringLiteral("<b>&&beta</b>")));
        QVERIFY(first.endsWith(QStringLiteral("… and Relaunch")));
    }

};

QTEST_MAIN(tst_TrayMenuStates)
#include "tst_TrayMenuStates.moc"
