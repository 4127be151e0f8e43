// The built bundle started as a user would start it, on the test's X
// server: its debug log and the card's window as another X client sees it.
#include "app/FerrowhistleApp.h"
#include "app/TrayMenu.h"
#include "support/DummyXorg.h"
#include "support/PrivateBus.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <memory>
#include <vector>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace {
constexpr int kSlowMachineMs = 30000;
const QString kApp = QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/Ferrowhistle");
}

class TestLaunch : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { env.clearDebugLog(); }
    void cleanup();
    void showsTestMessageAtPosition_data();
    void showsTestMessageAtPosition();
    void plainStartShowsNothing();
    void cardsRightAfterTheStartLeaveItRunning_data();
    void cardsRightAfterTheStartLeaveItRunning();

private:
    TestEnvironment env;
    QProcess app;
};

void TestLaunch::cleanup()
{
    if (app.state() != QProcess::NotRunning) {
        app.terminate();
        if (!app.waitForFinished(kSlowMachineMs))
            app.kill();
        app.waitForFinished();
    }
}

void TestLaunch::showsTestMessageAtPosition_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("position");
    QTest::newRow("topRight") << QStringList{"--test-message", "Hello", "--position", "topRight"} << "topRight";
    QTest::newRow("position first, bottomLeft") << QStringList{"--position", "bottomLeft", "--test-message", "Hi there"}
                                                << "bottomLeft";
    QTest::newRow("unknown position centres") << QStringList{"--test-message", "say \"x\"", "--position", "middle"}
                                              << "center";
}

void TestLaunch::showsTestMessageAtPosition()
{
    QFETCH(QStringList, args);
    QFETCH(QString, position);
    app.start(kApp, args);
    QVERIFY(app.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(env.debugLogMessages().size() >= 6, kSlowMachineMs);
    const QStringList lines = env.debugLogMessages();
    QCOMPARE(lines.size(), 6);
    QStringList rendered;
    for (const QString &a : QStringList{kApp} + args)
        rendered << QLatin1Char('"') + QString(a).replace(QLatin1Char('"'), QStringLiteral("\\\"")) + QLatin1Char('"');
    QCOMPARE(lines[0], QStringLiteral("app init, args=[") + rendered.join(QStringLiteral(", ")) + QLatin1Char(']'));
    QCOMPARE(lines[1], QStringLiteral("applicationDidFinishLaunching policy=0"));
    const QString message = args[args.indexOf(QStringLiteral("--test-message")) + 1];
    QCOMPARE(lines[2], QStringLiteral("show() message=\"%1\" appIsReady=true NSApp.isRunning=true").arg(message));
    QCOMPARE(lines[4], QStringLiteral("after orderFront: isVisible=true"));
    // The tray comes once the card is on screen, with the updater behind it.
    QCOMPARE(lines[5], TrayMenu::noTrayLogLine()); // Xvfb has no tray

    static const QRegularExpression frameRe(
        QStringLiteral("^ordering front: frame=\\(([-\\d.]+), ([-\\d.]+), ([\\d.]+), ([\\d.]+)\\) screens=1$"));
    const auto m = frameRe.match(lines[3]);
    QVERIFY2(m.hasMatch(), qPrintable(lines[3]));
    const double x = m.captured(1).toDouble(), y = m.captured(2).toDouble();
    const double w = m.captured(3).toDouble(), h = m.captured(4).toDouble();
    QCOMPARE(h, 88.0);

    X11Client xc;
    QVERIFY(xc.isConnected());
    const QSize root = xc.rootSize();
    // Where the placement rules put the card on this screen (y up).
    const double rw = root.width(), rh = root.height();
    QPointF expected((rw - w) / 2, (rh - h) / 2);
    if (position == QLatin1String("topRight"))
        expected = QPointF(rw - 40 - w, rh - 40 - h);
    else if (position == QLatin1String("bottomLeft"))
        expected = QPointF(40, 40);
    QCOMPARE(QPointF(x, y), expected);

    QList<X11Window> cards;
    QTRY_VERIFY_WITH_TIMEOUT(!(cards = xc.mappedWindowsNamed(QStringLiteral("Ferrowhistle"))).isEmpty(),
                             kSlowMachineMs);
    const X11Window card = cards.first();
    QCOMPARE(card.geometry.size(), QSize(qRound(w), qRound(h)));
    QVERIFY(std::abs(card.geometry.x() - x) <= 1);
    QVERIFY(std::abs(card.geometry.y() - (rh - y - h)) <= 1);
    QVERIFY(card.overrideRedirect);

    // The automatic time for a short message is two seconds; then it goes.
    QTRY_VERIFY_WITH_TIMEOUT(xc.mappedWindowsNamed(QStringLiteral("Ferrowhistle")).isEmpty(), kSlowMachineMs);
    QVERIFY(app.state() == QProcess::Running);
}

void TestLaunch::plainStartShowsNothing()
{
    app.start(kApp, {});
    QVERIFY(app.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(env.debugLogMessages().size() >= 3, kSlowMachineMs);
    QStringList lines = env.debugLogMessages();
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], QStringLiteral("app init, args=[\"%1\"]").arg(kApp));
    QCOMPARE(lines[1], QStringLiteral("applicationDidFinishLaunching policy=0"));
    QCOMPARE(lines[2], TrayMenu::noTrayLogLine());

    // A test message would be shown kTestMessageDelayMs after start; the
    // tray line above comes only once the launch has settled, which waits
    // kLaunchSettleMs for a first card, so that chance has already passed.
    static_assert(FerrowhistleApp::kLaunchSettleMs > FerrowhistleApp::kTestMessageDelayMs);
    QProcess second;
    second.start(kApp, {});
    QVERIFY(second.waitForFinished(kSlowMachineMs));
    QCOMPARE(second.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(env.debugLogMessages().size() >= 4, kSlowMachineMs);
    lines << QStringLiteral("command line from another launch, args=[\"%1\"]").arg(kApp);
    QCOMPARE(env.debugLogMessages(), lines);
    X11Client xc;
    QVERIFY(xc.mappedWindowsNamed(QStringLiteral("Ferrowhistle")).isEmpty());
}

void TestLaunch::cardsRightAfterTheStartLeaveItRunning_data()
{
    QTest::addColumn<QList<QStringList>>("clients");
    QTest::addColumn<QStringList>("outcomes"); // those a call may get
    const QStringList common{"--print-outcome", "--duration", "0.5"};
    QTest::newRow("a message to each of two screens")
        << QList<QStringList>{common + QStringList{"--screen", "all", "Both"}} << QStringList{"timeout"};
    // The later one replaces the other, unless that one has gone already.
    QTest::newRow("two messages at once") << QList<QStringList>{common + QStringList{"One"}, common + QStringList{"Two"}}
                                          << QStringList{"replaced", "timeout"};
}

// Messages that come while the launch is settling, each start a fresh one:
// two cards shown in one go (one per screen, or one per message) must not
// end the app, and every call gets its outcome.
void TestLaunch::cardsRightAfterTheStartLeaveItRunning()
{
    QFETCH(QList<QStringList>, clients);
    QFETCH(QStringList, outcomes);
    const QString root = env.root() + u'/' + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
    QVERIFY(QDir().mkpath(root));
    DummyXorg xorg(root);
    if (!xorg.isRunning())
        QSKIP(qPrintable(QStringLiteral("no Xorg with the dummy driver to give two monitors: ") + xorg.failure()));
    QString error;
    QVERIFY2(xorg.useTwoMonitors(&error), qPrintable(error));
    PrivateBus bus(root + QStringLiteral("/bus"), root + QStringLiteral("/no-services"));
    QVERIFY(bus.isRunning());

    // A few fresh starts. The messages are sent once the first turn of the
    // app's loop has run, while its launch waits up to a second for a card:
    // sent earlier, they would be shown before that wait begins.
    for (int start = 0; start < 3; ++start) {
        env.clearDebugLog();
        QProcess fresh;
        fresh.setProcessEnvironment(xorg.environment(bus.environment()));
        fresh.start(kApp, {});
        QVERIFY(fresh.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] {
            return env.debugLogMessages().contains(QStringLiteral("applicationDidFinishLaunching policy=0"))
                   && bus.appPid() == fresh.processId();
        }, kSlowMachineMs));
        std::vector<std::unique_ptr<QProcess>> running;
        for (const QStringList &args : clients) {
            running.push_back(std::make_unique<QProcess>());
            running.back()->setProcessEnvironment(xorg.environment(bus.environment()));
            running.back()->start(bundleProgram(QStringLiteral("ferrowhistle-display")), args);
        }
        for (const auto &client : running) {
            QVERIFY(client->waitForFinished(kSlowMachineMs * 2));
            const QString err = QString::fromUtf8(client->readAllStandardError());
            QVERIFY2(client->exitStatus() == QProcess::NormalExit && client->exitCode() == 0, qPrintable(err));
            const QString outcome = QString::fromUtf8(client->readAllStandardOutput()).trimmed();
            QVERIFY2(outcomes.contains(outcome), qPrintable(outcome));
        }
        // Still the same process, after every card of the burst has come.
        QCOMPARE(fresh.state(), QProcess::Running);
        QCOMPARE(bus.appPid(), fresh.processId());
        fresh.terminate();
        QVERIFY(fresh.waitForFinished(kSlowMachineMs));
        QVERIFY(bus.waitForApp(false));
    }
}

QTEST_GUILESS_MAIN(TestLaunch)
#include "tst_Launch.moc"
