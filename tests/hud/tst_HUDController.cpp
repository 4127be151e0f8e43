// The display owner driven through its real panels on a real X server: the
// hand-over at launch, replacement, timers, clicks and the wait.
#include "app/AppDelegate.h"
#include "hud/HUDController.h"
#include "hud/HUDPanel.h"
#include "hud/HUDView.h"
#include "desktop/ActivationPolicy.h"
#include "platform/DefaultsStore.h"
#include "support/TestEnvironment.h"
#include "support/X11Windows.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPropertyAnimation>
#include <QPointer>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <memory>

namespace {
constexpr int kSlowMachineMs = 15000;
const QRectF kReferenceFrame(0, 0, 1440, 875);

// What this process has written so far, to files and sockets alike.
qint64 bytesWrittenByThisProcess()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

QString named(HUDOutcome outcome)
{
    return HUDOutcomes::rawValue(outcome);
}

// Screens made up for the controller: only their frames matter to it.
QList<Screens::Screen> madeUp(const QList<QRectF> &frames)
{
    QList<Screens::Screen> out;
    for (const QRectF &f : frames)
        out.append(Screens::Screen{f, f, nullptr});
    return out;
}
}

class TestHUDController : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void heldBeforeLaunchThenFlushedOnce();
    void showPlacesAndLogsFrame();
    void replacementClosesOldPanelAtOnce();
    void replacedTimerNeverDismissesNewCard();
    void replacementWhileFadingLeavesBothAlone();
    void clickDismissesAtOnce();
    void aClickOnAFadingCardEndsNoOtherMessage();
    void givenDurationIsUsed();
    void showAndWaitEndsAfterCardIsGone();
    void showAndWaitCoversNewerMessage();
    void noScreenStillShowsAndLogs();
    void awkwardMessagesStillShow_data();
    void awkwardMessagesStillShow();
    void cardNeverOutgrowsTheScreen_data();
    void cardNeverOutgrowsTheScreen();
    void cardWindowCarriesNoIcon();
    void allScreensShareOneTimerAndOneClick();
    void theScreenIsChosen_data();
    void theScreenIsChosen();
    void outcomesSayHowTheMessageEnded_data();
    void outcomesSayHowTheMessageEnded();
    void aHeldMessageThatIsReplacedSaysSo();

private:
    TestEnvironment env;
    // A controller of its own for each test, ready as after launching unless
    // the test says otherwise.
    std::unique_ptr<HUDController> m_hud;
    HUDController &hud() { return *m_hud; }
};

void TestHUDController::init()
{
    env.clearDebugLog();
    m_hud = std::make_unique<HUDController>();
    hud().appIsReady = true;
    hud().setScreenSource([] { return madeUp({kReferenceFrame}); });
}

void TestHUDController::cleanup()
{
    hud().dismiss();
    const auto visibleWindows = [] {
        QStringList out;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->isVisible())
                out.append(QStringLiteral("%1 opacity %2 size %3x%4")
                               .arg(QString::fromLatin1(w->metaObject()->className()))
                               .arg(w->windowOpacity())
                               .arg(w->width())
                               .arg(w->height()));
        }
        return out;
    };
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(), QStringList(), kSlowMachineMs);
    m_hud.reset();
}

void TestHUDController::heldBeforeLaunchThenFlushedOnce()
{
    // A process that has not finished launching: a regular application
    // whose display side is not ready.
    hud().appIsReady = false;
    setActivationPolicy(ActivationPolicy::Regular);
    hud().show(QStringLiteral("first"), HUDPosition::top, 4.0);
    hud().show(QStringLiteral("second"), HUDPosition::bottomLeft, std::nullopt);
    QVERIFY(!hud().panel());
    QVERIFY(hud().pending);
    QCOMPARE(hud().pending->message, QStringLiteral("second"));

    QSignalSpy shown(m_hud.get(), &HUDController::panelShown);
    AppDelegate delegate(hud());
    delegate.applicationDidFinishLaunching();
    QVERIFY(hud().appIsReady);
    QVERIFY(!hud().pending);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(static_cast<int>(activationPolicy()), 1);
    QVERIFY(hud().panel());
    QCOMPARE(hud().panel()->frame().topLeft(), QPointF(40, 40));

    const QStringList lines = env.debugLogMessages();
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines[0], QStringLiteral("show() message=\"first\" appIsReady=false NSApp.isRunning=false"));
    QCOMPARE(lines[1], QStringLiteral("show() message=\"second\" appIsReady=false NSApp.isRunning=false"));
    QCOMPARE(lines[2], QStringLiteral("applicationDidFinishLaunching policy=0"));
    QCOMPARE(lines[3], QStringLiteral("flushing pending message after launch"));
    QCOMPARE(lines[4], QStringLiteral("show() message=\"second\" appIsReady=true NSApp.isRunning=false"));
    QVERIFY(lines[5].startsWith(QStringLiteral("ordering front: frame=(40.0, 40.0, ")));
    QVERIFY(lines[5].endsWith(QStringLiteral(", 88.0) screens=1")));
    QCOMPARE(lines[6], QStringLiteral("after orderFront: isVisible=true"));

    // A second run of the delegate finds the policy already accessory.
    env.clearDebugLog();
    delegate.applicationDidFinishLaunching();
    QCOMPARE(env.debugLogMessages(), QStringList{QStringLiteral("applicationDidFinishLaunching policy=1")});
}

void TestHUDController::showPlacesAndLogsFrame()
{
    hud().show(QStringLiteral("Hello"), HUDPosition::center, std::nullopt);
    HUDPanel *panel = hud().panel();
    QVERIFY(panel && panel->isVisible());
    const QSizeF size = panel->frame().size();
    QCOMPARE(size.height(), 88.0);
    QCOMPARE(panel->frame().topLeft(), QPointF(720 - size.width() / 2, 393.5));
    QVERIFY(hud().hasDismissTimer());
    // Fades in from alpha 0.
    QVERIFY(panel->windowOpacity() < 1.0);
    QTRY_COMPARE_WITH_TIMEOUT(panel->windowOpacity(), 1.0, kSlowMachineMs);

    // What another X client sees: an override-redirect window of the card's
    // size, flipped into top-left coordinates.
    X11Client x;
    QVERIFY(x.isConnected());
    const int rootH = x.rootSize().height();
    const QRect expected(qRound(panel->frame().x()), qRound(rootH - 393.5 - 88), qRound(size.width()), 88);
    const auto ours = [&] {
        for (const X11Window &w : x.mappedTopLevels()) {
            if (w.id == panel->winId())
                return w;
        }
        return X11Window{};
    };
    QTRY_VERIFY_WITH_TIMEOUT(ours().id != 0, kSlowMachineMs);
    const X11Window w = ours();
    QCOMPARE(w.name, QStringLiteral("Ferrowhistle"));
    QVERIFY(w.overrideRedirect);
    QCOMPARE(w.geometry.size(), expected.size());
    QVERIFY(std::abs(w.geometry.y() - expected.y()) <= 1);
    QCOMPARE(w.geometry.x(), expected.x());
    QVERIFY(panel->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    QVERIFY(panel->windowFlags() & Qt::WindowStaysOnTopHint);
}

void TestHUDController::replacementClosesOldPanelAtOnce()
{
    hud().show(QStringLiteral("one"), HUDPosition::left, std::nullopt);
    QPointer<HUDPanel> first = hud().panel();
    hud().show(QStringLiteral("two"), HUDPosition::right, std::nullopt);
    QVERIFY(first.isNull() || !first->isVisible());
    QVERIFY(hud().panel() && hud().panel() != first);
    QCOMPARE(hud().panel()->frame().x(), 1440 - 40 - hud().panel()->frame().width());
}

void TestHUDController::replacedTimerNeverDismissesNewCard()
{
    QSignalSpy dismissed(m_hud.get(), &HUDController::panelDismissed);
    hud().show(QStringLiteral("short lived"), HUDPosition::center, 0.05);
    hud().show(QStringLiteral("stays"), HUDPosition::center, 30.0);
    HUDPanel *second = hud().panel();
    // A precise timer started after the replaced one and due later: once it
    // has fired, the replaced timer would have fired too.
    bool replacedTimerWasDue = false;
    QTimer::singleShot(100, Qt::PreciseTimer, this, [&] { replacedTimerWasDue = true; });
    QTRY_VERIFY_WITH_TIMEOUT(replacedTimerWasDue, kSlowMachineMs);
    QCOMPARE(dismissed.count(), 0);
    QCOMPARE(hud().panel(), second);
    QVERIFY(second->isVisible());
}

void TestHUDController::replacementWhileFadingLeavesBothAlone()
{
    hud().show(QStringLiteral("fading"), HUDPosition::center, 30.0);
    QPointer<HUDPanel> first = hud().panel();
    hud().dismiss();
    QVERIFY(!hud().panel());
    QVERIFY(first && first->isVisible());
    hud().show(QStringLiteral("newer"), HUDPosition::center, 30.0);
    QPointer<HUDPanel> second = hud().panel();
    QVERIFY(second && second != first);
    // The old fade-out ends by closing its own panel only.
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull() || !first->isVisible(), kSlowMachineMs);
    QVERIFY(second && second->isVisible());
    QCOMPARE(hud().panel(), second.data());
}

void TestHUDController::clickDismissesAtOnce()
{
    hud().show(QStringLiteral("click me"), HUDPosition::center, 30.0);
    QPointer<HUDPanel> panel = hud().panel();
    QTest::mouseClick(panel->view(), Qt::LeftButton, {}, QPoint(5, 5)); // the background
    QVERIFY(!hud().panel());
    QVERIFY(!hud().hasDismissTimer());
    QVERIFY(panel && panel->isVisible()); // still fading out
    QTRY_VERIFY_WITH_TIMEOUT(panel.isNull() || !panel->isVisible(), kSlowMachineMs);

    // A click during the fade-in works the same.
    hud().show(QStringLiteral("again"), HUDPosition::center, 30.0);
    QTest::mouseClick(hud().panel()->view(), Qt::LeftButton, {}, QPoint(40, 40)); // the icon
    QVERIFY(!hud().panel());
}

void TestHUDController::aClickOnAFadingCardEndsNoOtherMessage()
{
    // A's time runs out; B comes up beside A while A still fades out.
    hud().show(QStringLiteral("A"), HUDPosition::left, 0.05);
    QSignalSpy dismissed(m_hud.get(), &HUDController::panelDismissed);
    QTRY_COMPARE_WITH_TIMEOUT(dismissed.count(), 1, kSlowMachineMs);
    QPointer<HUDPanel> fading = dismissed.at(0).at(0).value<HUDPanel *>();
    QVERIFY(fading);
    // Hold A's fade-out where it stands, so that the click surely lands on
    // A however slowly the machine runs.
    QPropertyAnimation *fadeOut = nullptr;
    for (QPropertyAnimation *a : fading->findChildren<QPropertyAnimation *>()) {
        if (a->state() == QAbstractAnimation::Running)
            fadeOut = a;
    }
    QVERIFY(fadeOut);
    fadeOut->pause();
    const QPointer<QPropertyAnimation> held(fadeOut);
    const auto letGo = qScopeGuard([&] {
        if (held && held->state() == QAbstractAnimation::Paused)
            held->resume();
    });
    auto b = hud().showAndWait(QStringLiteral("B"), HUDPosition::right, 30.0);
    QPointer<HUDPanel> shown = hud().panel();
    QVERIFY(shown && shown != fading);

    // The user's click on A, through the X server.
    bool pressedOnA = false;
    struct PressWatch : QObject {
        bool *pressed;
        explicit PressWatch(bool *p) : pressed(p) {}
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::MouseButtonPress)
                *pressed = true;
            return false;
        }
    } watch(&pressedOnA);
    fading->view()->installEventFilter(&watch);
    X11Client x;
    QVERIFY(x.isConnected());
    QRect onScreen;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (const X11Window &w : x.mappedTopLevels()) {
                if (w.id == fading->winId())
                    onScreen = w.geometry;
            }
            return !onScreen.isNull();
        }(),
        kSlowMachineMs);
    const QPoint at = onScreen.center();
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(at.x()),
                                                           QString::number(at.y()), QStringLiteral("click"),
                                                           QStringLiteral("1")}),
             0);
    QTRY_VERIFY_WITH_TIMEOUT(pressedOnA, kSlowMachineMs);
    fading->view()->removeEventFilter(&watch);

    // B stays up with its timer; A fades out as it was.
    QCOMPARE(hud().panel(), shown.data());
    QVERIFY(hud().hasDismissTimer());
    QCOMPARE(dismissed.count(), 1);
    fadeOut->resume();
    QTRY_VERIFY_WITH_TIMEOUT(fading.isNull() || !fading->isVisible(), kSlowMachineMs);
    QVERIFY(shown && shown->isVisible());

    // B ends the way it really ends: here a newer message takes its place.
    hud().show(QStringLiteral("C"), HUDPosition::center, 0.2);
    QCOMPARE(named(QCoro::waitFor(std::move(b))), QStringLiteral("replaced"));
}

void TestHUDController::givenDurationIsUsed()
{
    QSignalSpy dismissed(m_hud.get(), &HUDController::panelDismissed);
    QElapsedTimer clock;
    clock.start();
    hud().show(QString(200, QLatin1Char('a')), HUDPosition::center, 0.3);
    QTRY_COMPARE_WITH_TIMEOUT(dismissed.count(), 1, kSlowMachineMs);
    QVERIFY(clock.elapsed() >= 300);
}

void TestHUDController::showAndWaitEndsAfterCardIsGone()
{
    QElapsedTimer clock;
    clock.start();
    qint64 dismissedAt = -1;
    auto c = connect(m_hud.get(), &HUDController::panelDismissed, this, [&] { dismissedAt = clock.elapsed(); });
    QCoro::waitFor(hud().showAndWait(QStringLiteral("wait for me"), HUDPosition::center, 0.2));
    disconnect(c);
    const qint64 returnedAt = clock.elapsed();
    QVERIFY(dismissedAt >= 200);
    QVERIFY2(returnedAt - dismissedAt >= 600, qPrintable(QString::number(returnedAt - dismissedAt)));
    QVERIFY(!hud().panel());
    QCOMPARE(env.debugLogMessages().last(), QStringLiteral("showAndWait complete"));
}

void TestHUDController::showAndWaitCoversNewerMessage()
{
    QElapsedTimer clock;
    clock.start();
    qint64 secondDismissedAt = -1;
    QTimer::singleShot(100, this, [&] {
        hud().show(QStringLiteral("newer"), HUDPosition::top, 0.5);
        connect(m_hud.get(), &HUDController::panelDismissed, this, [&] { secondDismissedAt = clock.elapsed(); },
                Qt::SingleShotConnection);
    });
    QCoro::waitFor(hud().showAndWait(QStringLiteral("older"), HUDPosition::center, 0.2));
    QVERIFY(secondDismissedAt >= 600);
    QVERIFY(clock.elapsed() - secondDismissedAt >= 600);
}

void TestHUDController::noScreenStillShowsAndLogs()
{
    hud().setScreenSource([] { return QList<Screens::Screen>{}; });
    hud().show(QStringLiteral("nowhere"), HUDPosition::bottomRight, std::nullopt);
    QVERIFY(hud().panel() && hud().panel()->isVisible());
    const QStringList lines = env.debugLogMessages();
    QCOMPARE(lines.size(), 3);
    static const QRegularExpression re(QStringLiteral("^ordering front: frame=\\(0\\.0, 0\\.0, \\d+\\.0, 88\\.0\\) screens=0$"));
    QVERIFY2(re.match(lines[1]).hasMatch(), qPrintable(lines[1]));
}


void TestHUDController::awkwardMessagesStillShow_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("blockTemporaryDirectory");
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("100000 characters") << QString(100000, QLatin1Char('m')) << false;
    QTest::newRow("right to left") << QStringLiteral("مرحبا بالعالم") << false;
    QTest::newRow("emoji") << QStringLiteral("👋🏽🇩🇪👨‍👩‍👧‍👦") << false;
    QTest::newRow("no usable temporary directory") << QStringLiteral("still shown") << true;
}

void TestHUDController::awkwardMessagesStillShow()
{
    QFETCH(QString, message);
    QFETCH(bool, blockTemporaryDirectory);
    const QByteArray oldTmp = qgetenv("TMPDIR"), oldCache = qgetenv("XDG_CACHE_HOME");
    if (blockTemporaryDirectory) {
        const QString blocker = env.root() + QStringLiteral("/blocker");
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
        qputenv("TMPDIR", blocker.toUtf8());
        qputenv("XDG_CACHE_HOME", blocker.toUtf8());
    }
    hud().show(message, HUDPosition::center, 30.0);
    qputenv("TMPDIR", oldTmp);
    qputenv("XDG_CACHE_HOME", oldCache);
    HUDPanel *panel = hud().panel();
    QVERIFY(panel && panel->isVisible());
    QVERIFY(panel->width() <= 640 && panel->width() >= 112);
    QVERIFY(panel->height() >= 88);
    // It paints without trouble: the fade-in runs to its end and the card
    // is still the one shown.
    QTRY_COMPARE_WITH_TIMEOUT(panel->windowOpacity(), 1.0, kSlowMachineMs);
    QVERIFY(hud().panel() == panel);
    if (blockTemporaryDirectory)
        QVERIFY(env.debugLogMessages().isEmpty());
}

void TestHUDController::cardNeverOutgrowsTheScreen_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<HUDPosition>("position");
    QTest::addColumn<bool>("fits"); // as tall as a card without a screen
    const QString emoji = QStringLiteral("\U0001F426").repeated(1 << 18); // colour glyphs, 1 MiB
    QTest::newRow("1 MiB of colour emoji, centred") << emoji << HUDPosition::center << false;
    QTest::newRow("1 MiB of colour emoji, at the top") << emoji << HUDPosition::top << false;
    QTest::newRow("1 MiB of colour emoji, bottom right") << emoji << HUDPosition::bottomRight << false;
    QTest::newRow("16 MiB word") << QString(16 << 20, u'W') << HUDPosition::center << false;
    QTest::newRow("a few thousand characters of words")
        << QStringLiteral("words ").repeated(600) << HUDPosition::bottom << false;
    QTest::newRow("a dozen lines") << QStringLiteral("twelve lines ").repeated(40) << HUDPosition::center << true;
}

void TestHUDController::cardNeverOutgrowsTheScreen()
{
    QFETCH(QString, message);
    QFETCH(HUDPosition, position);
    QFETCH(bool, fits);
    hud().show(message, position, 30.0);
    HUDPanel *panel = hud().panel();
    QVERIFY(panel && panel->isVisible());
    // The whole card, margins included, is on the screen.
    const QRectF frame = panel->frame();
    QVERIFY2(frame.y() >= kReferenceFrame.y() + 40 && frame.y() + frame.height() <= kReferenceFrame.bottom() - 40,
             qPrintable(QStringLiteral("card from y %1, %2 tall").arg(frame.y()).arg(frame.height())));
    // What the screen cannot show is not laid out at all; a card that fits
    // is the card a screenless view makes.
    const HUDView *view = panel->view();
    const HUDView unbounded(fits ? message : message.left(4096), {});
    if (fits) {
        QCOMPARE(view->laidOutLength(), message.size());
        QCOMPARE(view->size(), unbounded.size());
        QCOMPARE(view->lineCount(), unbounded.lineCount());
    } else {
        QVERIFY(view->lineCount() > 1);
        QVERIFY(view->lineCount() < unbounded.lineCount());
        QVERIFY2(view->laidOutLength() < 4096, qPrintable(QString::number(view->laidOutLength())));
    }
}

void TestHUDController::cardWindowCarriesNoIcon()
{
    // The application's icon, as the app sets it, with its large image.
    const QIcon before = QApplication::windowIcon();
    QPixmap large(256, 256);
    large.fill(Qt::darkCyan);
    QApplication::setWindowIcon(QIcon(large));
    const auto restore = qScopeGuard([&] { QApplication::setWindowIcon(before); });

    X11Client x;
    QVERIFY(x.isConnected());
    // An ordinary window of the app keeps the icon a window manager shows.
    QWidget settingsLike;
    settingsLike.setWindowTitle(QStringLiteral("other window"));
    settingsLike.resize(200, 100);
    settingsLike.show();
    QTRY_VERIFY_WITH_TIMEOUT(x.propertyLength(settingsLike.winId(), "_NET_WM_ICON") >= 4 * (2 + 256 * 256),
                             kSlowMachineMs);

    // The card bypasses the window manager: nothing reads its icon, and
    // sending one would only delay its map. Not even for a moment while its
    // window is made: what this process writes meanwhile is far less than
    // the large image alone.
    const qint64 writtenBefore = bytesWrittenByThisProcess();
    hud().show(QStringLiteral("No icon on the window"), HUDPosition::center, std::nullopt);
    const qint64 written = bytesWrittenByThisProcess() - writtenBefore;
    // The 256 px image alone is 256 KB.
    QVERIFY2(written < 64 * 1024, qPrintable(QStringLiteral("%1 bytes written").arg(written)));
    HUDPanel *panel = hud().panel();
    QVERIFY(panel && panel->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!x.mappedWindowsNamed(QStringLiteral("Ferrowhistle")).isEmpty(), kSlowMachineMs);
    QCOMPARE(x.propertyLength(panel->winId(), "_NET_WM_ICON"), -1);
    // A later change of the application's icon does not bring it back.
    QApplication::setWindowIcon(QIcon(large.scaled(128, 128)));
    QCoreApplication::processEvents();
    QCOMPARE(x.propertyLength(panel->winId(), "_NET_WM_ICON"), -1);
}

namespace {
// The primary screen and a taller one to its right.
const QRectF kLeftScreen(0, 0, 1440, 875);
const QRectF kRightScreen(1440, 0, 1280, 1000);
} // namespace

void TestHUDController::allScreensShareOneTimerAndOneClick()
{
    hud().setScreenSource([] { return madeUp({kLeftScreen, kRightScreen}); });
    QSignalSpy dismissed(m_hud.get(), &HUDController::panelDismissed);
    QElapsedTimer clock;
    clock.start();
    hud().show(QStringLiteral("Both"), HUDPosition::center, 0.4, HUDScreen::all);
    const QList<HUDPanel *> cards = hud().panels();
    QCOMPARE(cards.size(), 2);
    const double w = cards[0]->frame().width();
    QCOMPARE(cards[0]->frame().topLeft(), QPointF(720 - w / 2, 393.5));
    QCOMPARE(cards[1]->frame().topLeft(), QPointF(1440 + 640 - w / 2, 456));
    QVERIFY(cards[0]->isVisible() && cards[1]->isVisible());
    // One "ordering front" line per card.
    const QStringList lines = env.debugLogMessages();
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^ordering front: .* screens=2$"))).size(), 2);
    QCOMPARE(lines.filter(QStringLiteral("after orderFront: isVisible=true")).size(), 2);

    // One timer ends both at once.
    QTRY_COMPARE_WITH_TIMEOUT(dismissed.count(), 2, kSlowMachineMs);
    QVERIFY(clock.elapsed() >= 400);
    QVERIFY(!hud().panel() && !hud().hasDismissTimer());

    // A click on any card takes all of them away, and that is the outcome.
    QTimer::singleShot(200, this, [this] {
        const QList<HUDPanel *> up = hud().panels();
        QCOMPARE(up.size(), 2);
        QTest::mouseClick(up[1]->view(), Qt::LeftButton, {}, QPoint(10, 10));
        QVERIFY(hud().panels().isEmpty());
    });
    const HUDOutcome outcome =
        QCoro::waitFor(hud().showAndWait(QStringLiteral("Click either"), HUDPosition::top, 30.0, HUDScreen::all));
    QCOMPARE(named(outcome), QStringLiteral("clicked"));
}

void TestHUDController::theScreenIsChosen_data()
{
    QTest::addColumn<QVariant>("setting");     // HUDScreen as stored, invalid for none
    QTest::addColumn<int>("request");          // -1: none, else a HUDScreen
    QTest::addColumn<QVariant>("pointer");     // QPointF, or invalid for no pointer
    QTest::addColumn<QList<double>>("cardsAtX"); // the cards' left edges' screens: 0 left, 1 right
    const QVariant none;
    const QVariant onRight = QPointF(2000, 500), onLeft = QPointF(10, 10), onEdge = QPointF(1440, 10);
    using L = QList<double>;
    QTest::newRow("default: main") << none << -1 << onRight << L{0};
    QTest::newRow("pointer on the right") << none << int(HUDScreen::pointer) << onRight << L{1};
    QTest::newRow("pointer on the left") << none << int(HUDScreen::pointer) << onLeft << L{0};
    QTest::newRow("pointer on the shared edge") << none << int(HUDScreen::pointer) << onEdge << L{1};
    QTest::newRow("pointer unknown") << none << int(HUDScreen::pointer) << none << L{0};
    QTest::newRow("pointer off every screen") << none << int(HUDScreen::pointer) << QVariant(QPointF(-5, 3000)) << L{0};
    QTest::newRow("setting all") << QVariant(QStringLiteral("all")) << -1 << onLeft << L{0, 1};
    QTest::newRow("setting pointer") << QVariant(QStringLiteral("pointer")) << -1 << onRight << L{1};
    QTest::newRow("the call's choice wins") << QVariant(QStringLiteral("all")) << int(HUDScreen::main) << onRight << L{0};
    QTest::newRow("unknown setting is main") << QVariant(QStringLiteral("All")) << -1 << onRight << L{0};
    QTest::newRow("setting of another type is main") << QVariant(true) << -1 << onRight << L{0};
}

void TestHUDController::theScreenIsChosen()
{
    QFETCH(QVariant, setting);
    QFETCH(int, request);
    QFETCH(QVariant, pointer);
    QFETCH(QList<double>, cardsAtX);
    const DefaultsStore store = DefaultsStore::standard();
    store.remove(HUDScreens::settingKey());
    if (setting.isValid())
        store.setValue(HUDScreens::settingKey(), setting);
    const auto cleanSetting = qScopeGuard([&] { store.remove(HUDScreens::settingKey()); });
    hud().setScreenSource([] { return madeUp({kLeftScreen, kRightScreen}); },
                          [pointer]() -> std::optional<QPointF> {
                              if (!pointer.isValid())
                                  return std::nullopt;
                              return pointer.toPointF();
                          });
    const std::optional<HUDScreen> choice = request < 0 ? std::nullopt : std::optional(HUDScreen(request));
    hud().show(QStringLiteral("Where?"), HUDPosition::bottomLeft, 30.0, choice);
    QList<double> at;
    for (const HUDPanel *p : hud().panels())
        at.append(p->frame().x() >= kRightScreen.x() ? 1 : 0);
    QCOMPARE(at, cardsAtX);
    QCOMPARE(hud().panel()->frame().y(), 40.0);
}

void TestHUDController::outcomesSayHowTheMessageEnded_data()
{
    QTest::addColumn<QString>("end");
    QTest::addColumn<HUDOutcome>("outcome");
    QTest::newRow("time runs out") << QStringLiteral("time") << HUDOutcome::timeout;
    QTest::newRow("clicked") << QStringLiteral("click") << HUDOutcome::clicked;
    QTest::newRow("a newer message") << QStringLiteral("newer") << HUDOutcome::replaced;
    // Dismissed first, replaced while it fades: it was dismissed.
    QTest::newRow("clicked, then a newer one") << QStringLiteral("click+newer") << HUDOutcome::clicked;
}

void TestHUDController::outcomesSayHowTheMessageEnded()
{
    QFETCH(QString, end);
    QFETCH(HUDOutcome, outcome);
    const double seconds = end == QLatin1String("time") ? 0.3 : 30.0;
    QTimer::singleShot(200, this, [&] {
        if (end.startsWith(QLatin1String("click")))
            QTest::mouseClick(hud().panel()->view(), Qt::LeftButton, {}, QPoint(30, 30));
        if (end.endsWith(QLatin1String("newer"))) {
            hud().show(QStringLiteral("newer"), HUDPosition::center, 0.2);
        }
    });
    QCOMPARE(named(QCoro::waitFor(hud().showAndWait(QStringLiteral("ends how?"), HUDPosition::center, seconds))),
             named(outcome));
}

void TestHUDController::aHeldMessageThatIsReplacedSaysSo()
{
    hud().appIsReady = false;
    auto first = hud().showAndWait(QStringLiteral("held"), HUDPosition::center, 0.2);
    auto second = hud().showAndWait(QStringLiteral("held later"), HUDPosition::center, 0.2);
    AppDelegate delegate(hud());
    delegate.applicationDidFinishLaunching();
    QCOMPARE(hud().panel()->view()->shownText(), QStringLiteral("held later"));
    QCOMPARE(named(QCoro::waitFor(std::move(second))), QStringLiteral("timeout"));
    QCOMPARE(named(QCoro::waitFor(std::move(first))), QStringLiteral("replaced"));
}

QTEST_MAIN(TestHUDController)
#include "tst_HUDController.moc"
