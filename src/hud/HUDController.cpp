#include "hud/HUDController.h"

#include "hud/DebugLog.h"
#include "hud/HUDLayout.h"
#include "hud/HUDPanel.h"
#include "hud/HUDView.h"
#include "platform/ActivationPolicy.h"
#include "platform/Screens.h"

#include <QCoreApplication>
#include <QPropertyAnimation>
#include <QThread>
#include <QTimer>

#include <qcoro/qcorotimer.h>

#include <unicode/ubrk.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <memory>

namespace {

bool applicationIsRunning()
{
    // The event loop of the GUI thread is running.
    return QCoreApplication::instance() && QThread::currentThread()->loopLevel() > 0;
}

// QCoro::sleepFor uses a coarse timer that may fire 5% early; the waits
// here are lower bounds, so use a precise one.
QCoro::Task<> sleepPrecisely(int ms)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(ms);
    co_await timer;
}

void closeNow(HUDPanel *panel)
{
    panel->close();
    panel->deleteLater();
}

} // namespace

HUDController &HUDController::shared()
{
    static HUDController *instance = new HUDController();
    return *instance;
}

HUDController::HUDController(QObject *parent) : QObject(parent), m_screens(&Screens::visibleFrames) {}

HUDController::~HUDController()
{
    delete m_nextPanel.data();
    if (m_panel)
        closeNow(m_panel);
}

void HUDController::setScreenSource(ScreenSource source)
{
    m_screens = source ? std::move(source) : ScreenSource(&Screens::visibleFrames);
}

int HUDController::graphemeCount(const QString &message, int limit)
{
    if (message.isEmpty() || limit <= 0)
        return 0;
    // ICU rather than QTextBoundaryFinder: Qt 6.4 splits a flag that follows
    // an emoji into two characters.
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> it(
        ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar *>(message.utf16()),
                  static_cast<int32_t>(message.size()), &status),
        &ubrk_close);
    if (U_FAILURE(status) || !it)
        return static_cast<int>(std::min<qsizetype>(message.size(), limit));
    // The iterator finds boundaries as it goes, so stopping early leaves the
    // rest of the text unread.
    int count = 0;
    ubrk_first(it.get());
    while (count < limit && ubrk_next(it.get()) != UBRK_DONE)
        ++count;
    return count;
}

namespace {
// From this many characters on, the automatic duration is the longest one.
constexpr int kCharactersForLongest = 147;
static_assert(kCharactersForLongest * 0.06 + 1.2 >= 10.0 && (kCharactersForLongest - 1) * 0.06 + 1.2 < 10.0);
} // namespace

double HUDController::automaticDuration(const QString &message)
{
    // Counting stops where more characters could not change the result: a
    // 16 MiB message would otherwise cost a second of counting.
    const double n = graphemeCount(message, kCharactersForLongest);
    return std::min(std::max(n * 0.06 + 1.2, 2.0), 10.0);
}

void HUDController::show(const QString &message, HUDPosition position, std::optional<double> duration)
{
    debugLog(QStringLiteral("show() message=\"") + loggedMessage(message) + QStringLiteral("\" appIsReady=") + describeBool(appIsReady)
             + QStringLiteral(" NSApp.isRunning=") + describeBool(applicationIsRunning()));

    if (!appIsReady) {
        pending = Pending{message, position, duration};
        return;
    }

    m_dismissTask.reset();
    if (m_panel) {
        HUDPanel *old = m_panel;
        m_panel = nullptr;
        closeNow(old);
    }

    // A card taller than the screen would hang off it with most of its
    // text unseen, and laying out text that cannot be seen is what made a
    // huge message slow: the text stops at the last whole line that fits.
    const QList<QRectF> screens = m_screens();
    const double maxTextHeight = screens.isEmpty() ? HUDView::kUnbounded : HUDLayout::maxTextHeight(screens.first());

    QPointer<HUDController> self(this);
    auto *view = new HUDView(
        message,
        [self] {
            if (self)
                self->dismiss();
        },
        maxTextHeight);
    HUDPanel *panel = takePanel();
    panel->carry(view);

    if (activationPolicy() != ActivationPolicy::Accessory)
        setActivationPolicy(ActivationPolicy::Accessory);

    if (!screens.isEmpty())
        panel->setFrameOrigin(HUDLayout::placement(position, screens.first(), panel->size()));
    else
        panel->setFrameOrigin(QPointF(0, 0));
    const QRectF f = panel->frame();
    debugLog(QStringLiteral("ordering front: frame=") + describeRect(f.x(), f.y(), f.width(), f.height())
             + QStringLiteral(" screens=") + QString::number(screens.size()));

    panel->setWindowOpacity(0.0);
    panel->show();
    panel->raise();
    m_panel = panel;
    debugLog(QStringLiteral("after orderFront: isVisible=") + describeBool(panel->isVisible()));

    auto *fadeIn = new QPropertyAnimation(panel, "windowOpacity", panel);
    fadeIn->setObjectName(QStringLiteral("fadeIn"));
    fadeIn->setDuration(kFadeInMs);
    fadeIn->setStartValue(0.0);
    fadeIn->setEndValue(1.0);
    connect(fadeIn, &QPropertyAnimation::finished, this, &HUDController::preparePanel);
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);

    startDismissTimer(duration ? *duration : automaticDuration(message));
    Q_EMIT panelShown(panel);
}

HUDPanel *HUDController::takePanel()
{
    HUDPanel *panel = m_nextPanel;
    m_nextPanel = nullptr;
    return panel ? panel : new HUDPanel();
}

void HUDController::preparePanel()
{
    if (m_nextPanel)
        return;
    m_nextPanel = new HUDPanel();
    m_nextPanel->createWindowAhead();
}

void HUDController::startDismissTimer(double seconds)
{
    // QTimer counts on the monotonic clock. Its interval is an int of
    // milliseconds, so a display time beyond ~24 days is held at that.
    double ms = std::ceil(seconds * 1000.0);
    if (!(ms >= 0))
        ms = 0;
    ms = std::min(ms, static_cast<double>(INT_MAX));
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(static_cast<int>(ms));
    QPointer<HUDController> self(this);
    QTimer *raw = timer.get();
    connect(raw, &QTimer::timeout, this, [self, raw] {
        // Only the timer that is still current may dismiss; a replaced one
        // has been destroyed and can never fire for a newer card.
        if (self && self->m_dismissTask.get() == raw)
            self->dismiss();
    });
    m_dismissTask = std::move(timer);
    m_dismissTask->start();
}

void HUDController::dismiss()
{
    if (m_dismissTask) {
        // dismiss() may run inside the timer's own timeout; delete it later.
        m_dismissTask->stop();
        m_dismissTask.release()->deleteLater();
    }
    if (!m_panel)
        return;
    HUDPanel *panel = m_panel;
    m_panel = nullptr;
    Q_EMIT panelDismissed(panel);

    // A click during the fade-in turns it around from where it stands.
    if (auto *fadeIn = panel->findChild<QPropertyAnimation *>(QStringLiteral("fadeIn")))
        fadeIn->stop();

    auto *fadeOut = new QPropertyAnimation(panel, "windowOpacity", panel);
    fadeOut->setDuration(kFadeOutMs);
    fadeOut->setStartValue(panel->windowOpacity());
    fadeOut->setEndValue(0.0);
    QPointer<HUDPanel> target(panel);
    connect(fadeOut, &QPropertyAnimation::finished, panel, [target] {
        if (target)
            closeNow(target);
    });
    fadeOut->start(QAbstractAnimation::DeleteWhenStopped);
}

QCoro::Task<> HUDController::showAndWait(QString message, HUDPosition position, std::optional<double> duration)
{
    show(message, position, duration);
    QPointer<HUDController> self(this);
    while (self && (self->m_panel || self->pending))
        co_await sleepPrecisely(kWaitPollMs);
    co_await sleepPrecisely(kWaitTailMs);
    debugLog(QStringLiteral("showAndWait complete"));
}
