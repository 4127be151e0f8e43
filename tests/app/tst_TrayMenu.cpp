// The tray menu of the real app, read the way a panel reads it: a stand-in
// StatusNotifierWatcher on a private bus takes the app's item, and the menu is
// read and clicked through com.canonical.dbusmenu. The settings window is
// reached through the desktop actions, with or without a tray. How the menu
// follows the updater's states is in tst_TrayMenuStates.
#include "app/TrayMenu.h"
#include "intent/BusNames.h"
#include "app/AppActions.h"
#include "support/PrivateBus.h"
#include "support/StatusNotifierPanel.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"
#include "platform/DefaultsStore.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QTest>

namespace {

const QString kSettingsTitle = QStringLiteral("Ferrowhistle Settings");

} // namespace

class tst_TrayMenu : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    X11Client m_x;

    QProcess *launch(const PrivateBus &bus)
    {
        auto *app = new QProcess(this);
        QProcessEnvironment env = bus.environment();
        app->setProcessEnvironment(env);
        app->setProcessChannelMode(QProcess::ForwardedChannels);
        app->start(bundleProgram(QStringLiteral("Ferrowhistle")), {});
        return app;
    }
    static QDBusMessage call(const PrivateBus &bus, const QString &service, const QString &path, const QString &iface,
                             const QString &member, const QVariantList &args = {})
    {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, iface, member);
        m.setArguments(args);
        return bus.connection().call(m, QDBus::Block, 20000);
    }
    static QDBusMessage action(const PrivateBus &bus, const QString &name)
    {
        return call(bus, BusNames::service(), BusNames::objectPath(), BusNames::applicationInterface(),
                    QStringLiteral("ActivateAction"),
                    {name, QVariant::fromValue(QList<QDBusVariant>()), QVariantMap()});
    }
    QList<X11Window> settingsWindows() const { return m_x.mappedWindowsNamed(kSettingsTitle); }
    // Focus the settings window and press keys there, as a user would.
    bool pressInSettings(const QString &keys) const
    {
        const QList<X11Window> windows = settingsWindows();
        if (windows.size() != 1)
            return false;
        const QString id = QString::number(windows.first().id);
        return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), id})
                   == 0
               && QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}) == 0;
    }
    QString xprop(const X11Window &window, const QString &property) const
    {
        QProcess p;
        p.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window.id), property});
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }

private Q_SLOTS:
    void initTestCase()
    {
        qDBusRegisterMetaType<QList<QDBusVariant>>();
        QVERIFY(m_x.isConnected());
    }
    void init()
    {
        QDir(QFileInfo(DefaultsStore::standardPath()).absolutePath()).removeRecursively();
        m_env.clearDebugLog();
        QTRY_VERIFY_WITH_TIMEOUT(m_x.mappedWindowsNamed(QStringLiteral("Ferrowhistle")).isEmpty(), 30000);
    }

    void panelReadsTheMenuAndClicksIt()
    {
        PrivateBus bus(m_env.root() + QStringLiteral("/bus"), m_env.root() + QStringLiteral("/none"));
        QVERIFY(bus.isRunning());
        StatusNotifierWatcher watcher;
        QVERIFY(watcher.registerOn(bus.connection()));
        QProcess *app = launch(bus);
        QTRY_VERIFY_WITH_TIMEOUT(!watcher.itemService().isEmpty(), 30000);

        const QStringList idle{"Show Test Message", "Settings… [Control+,]", "---", "Quit Ferrowhistle"};
        QTRY_COMPARE_WITH_TIMEOUT(watcher.readMenu().describe(), idle, 30000);
        QCOMPARE(watcher.itemProperty(QStringLiteral("Title")).toString(), QStringLiteral("Ferrowhistle"));
        QVERIFY(m_env.debugLogMessages().filter(QStringLiteral("no system tray")).isEmpty());

        // Show Test Message puts up a card.
        watcher.click(watcher.readMenu().idOf(QStringLiteral("Show Test Message")));
        QTRY_COMPARE_WITH_TIMEOUT(m_x.mappedWindowsNamed(QStringLiteral("Ferrowhistle")).size(), 1, 30000);
        // Settings… opens the window.
        watcher.click(watcher.readMenu().idOf(QStringLiteral("Settings…")));
        QTRY_COMPARE_WITH_TIMEOUT(settingsWindows().size(), 1, 30000);

        // Quit ends the app with status 0.
        watcher.click(watcher.readMenu().idOf(QStringLiteral("Quit Ferrowhistle")));
        QVERIFY(app->waitForFinished(30000));
        QCOMPARE(app->exitStatus(), QProcess::NormalExit);
        QCOMPARE(app->exitCode(), 0);
    }

    void withoutATrayTheSettingsAreReachedThroughTheLauncher()
    {
        PrivateBus bus(m_env.root() + QStringLiteral("/bus2"), m_env.root() + QStringLiteral("/none"));
        QProcess *app = launch(bus);
        QVERIFY(bus.waitForApp(true));
        QTRY_VERIFY_WITH_TIMEOUT(m_env.debugLogMessages().contains(TrayMenu::noTrayLogLine()), 30000);

        QCOMPARE(action(bus, actionId(AppAction::Settings)).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(settingsWindows().size(), 1, 30000);
        // Activate (a click in a launcher) raises the same window.
        QCOMPARE(call(bus, BusNames::service(), BusNames::objectPath(), BusNames::applicationInterface(),
                      QStringLiteral("Activate"), {QVariantMap()})
                     .type(),
                 QDBusMessage::ReplyMessage);
        // The app handles its calls in order and asks the X server for its
        // windows in order: once a card asked for after the Activate is on
        // screen, a second settings window would be too.
        QCOMPARE(action(bus, actionId(AppAction::ShowTestMessage)).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(m_x.mappedWindowsNamed(QStringLiteral("Ferrowhistle")).size(), 1, 30000);
        QCOMPARE(settingsWindows().size(), 1);
        const X11Window window = settingsWindows().first();
        QCOMPARE(window.geometry.width(), 420);
        // In the taskbar while open: a normal window, not skipped.
        QVERIFY2(xprop(window, QStringLiteral("_NET_WM_WINDOW_TYPE")).contains(QStringLiteral("_NET_WM_WINDOW_TYPE_NORMAL")),
                 qPrintable(xprop(window, QStringLiteral("_NET_WM_WINDOW_TYPE"))));
        QVERIFY(!xprop(window, QStringLiteral("_NET_WM_STATE")).contains(QStringLiteral("SKIP_TASKBAR")));

        // Closing it leaves the app running; the launcher opens it again.
        QVERIFY(pressInSettings(QStringLiteral("ctrl+w")));
        QTRY_VERIFY_WITH_TIMEOUT(settingsWindows().isEmpty(), 30000);
        QCOMPARE(call(bus, BusNames::service(), BusNames::objectPath(), BusNames::applicationInterface(),
                      QStringLiteral("Activate"), {QVariantMap()})
                     .type(),
                 QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(settingsWindows().size(), 1, 30000);

        QCOMPARE(action(bus, actionId(AppAction::Quit)).type(), QDBusMessage::ReplyMessage);
        QVERIFY(app->waitForFinished(30000));
        QCOMPARE(app->exitCode(), 0);
    }
};

QTEST_MAIN(tst_TrayMenu)
#include "tst_TrayMenu.moc"
