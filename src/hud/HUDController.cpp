#include "hud/HUDController.h"

#include "hud/DebugLog.h"
#include "hud/HUDLayout.h"
#include "hud/HUDPanel.h"
#include "hud/HUDView.h"
#include "desktop/ActivationPolicy.h"
#include "platform/DefaultsStore.h"
#include "desktop/Screens.h"

#include <QCoreApplication>
#include <QGuiApplication>
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
#include <utility>

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

// The HUDScreen setting as stored now. Looked at for each message, so a
// change made with ferrowhistle-defaults counts from the next one.
HUDScreen HUDController::userScreenChoice()
{
    const std::optional<QString> stored = m_settings.string(DefaultsStore::standardPath(), HUDScreens::settingKey());
    const std::optional<HUDScreen> choice = stored ? HUDScreens::fromRawValue(*stored) : std::nullopt;
    return choice.value_or(HUDScreen::main);
}

HUDController &HUDController::shared()
{
    static HUDController *instance = new HUDController();
    return *instance;
}

HUDController::HUDController(QObject *parent)
    : QObject(parent), m_screens(&Screens::all), m_pointer(&Screens::pointer)
{
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        connect(app, &QGuiApplication::screenRemoved, this, &HUDController::screenRemoved);
}

HUDController::~HUDController()
{
    for (const QPointer<HUDPanel> &spare : std::as_const(m_spare))
        delete spare.data();
    for (const QPointer<HUDPanel> &p : std::as_const(m_panels)) {
        if (p)
            closeNow(p);
    }
}

void HUDController::setScreenSource(ScreenSource source, PointerSource pointer)
{
    m_screens = source ? std::move(source) : ScreenSource(&Screens::all);
    m_pointer = pointer ? std::move(pointer) : PointerSource(&Screens::pointer);
}

HUDPanel *HUDController::panel() const
{
    for (const QPointer<HUDPanel> &p : m_panels) {
        if (p)
            return p;
    }
    return nullptr;
}

QList<HUDPanel *> HUDController::panels() const
{
    QList<HUDPanel *> out;
    for (const QPointer<HUDPanel> &p : m_panels) {
        if (p)
            out.append(p);
    }
    return out;
}

void HUDController::settle(const Ticket &ticket, HUDOutcome outcome)
{
    // The first end counts: a message dismissed and then replaced while it
    // fades out was dismissed.
    if (ticket && !ticket->has_value())
        *ticket = outcome;
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

void HUDController::show(const QString &message, HUDPosition position, std::optional<double> duration,
                         std::optional<HUDScreen> screen)
{
    show(Pending{message, position, duration, screen, std::make_shared<std::optional<HUDOutcome>>()});
}

void HUDController::show(const Pending &request)
{
    debugLog(QStringLiteral("show() message=\"") + loggedMessage(request.message) + QStringLiteral("\" appIsReady=")
             + describeBool(appIsReady) + QStringLiteral(" NSApp.isRunning=") + describeBool(applicationIsRunning()));

    if (!appIsReady) {
        if (pending)
            settle(pending->ticket, HUDOutcome::replaced);
        pending = request;
        return;
    }
    showCards(request);
}

QList<Screens::Screen> HUDController::chosenScreens(const QList<Screens::Screen> &screens, HUDScreen choice) const
{
    if (screens.isEmpty())
        return {};
    switch (choice) {
    case HUDScreen::all:
        return screens;
    case HUDScreen::pointer:
        if (const std::optional<QPointF> at = m_pointer()) {
            for (const Screens::Screen &s : screens) {
                // QRectF::contains is inclusive; the right and top edges
                // belong to the neighbour.
                const QRectF &f = s.frame;
                if (at->x() >= f.left() && at->x() < f.left() + f.width() && at->y() >= f.top()
                    && at->y() < f.top() + f.height())
                    return {s};
            }
        }
        return {screens.first()};
    case HUDScreen::main:
        break;
    }
    return {screens.first()};
}

void HUDController::showCards(const Pending &request)
{
    m_dismissTask.reset();
    settle(m_ticket, HUDOutcome::replaced);
    for (const QPointer<HUDPanel> &old : std::exchange(m_panels, {})) {
        if (old)
            closeNow(old);
    }
    m_ticket = request.ticket;

    const QList<Screens::Screen> screens = m_screens();
    const HUDScreen choice = request.screen ? *request.screen : userScreenChoice();
    QList<Screens::Screen> targets = chosenScreens(screens, choice);
    // Without a screen the one card stands at the origin.
    const bool placed = !targets.isEmpty();
    if (!placed)
        targets.append(Screens::Screen{});

    if (activationPolicy() != ActivationPolicy::Accessory)
        setActivationPolicy(ActivationPolicy::Accessory);

    QPointer<HUDController> self(this);
    for (const Screens::Screen &target : std::as_const(targets)) {
        // A card taller than the screen would hang off it with most of its
        // text unseen, and laying out text that cannot be seen is what made
        // a huge message slow: the text stops at the last whole line that fits.
        const double maxTextHeight = placed ? HUDLayout::maxTextHeight(target.visibleFrame) : HUDView::kUnbounded;
        HUDPanel *panel = takePanel();
        QPointer<HUDPanel> card(panel);
        auto *view = new HUDView(
            request.message,
            [self, card] {
                if (self && card)
                    self->cardClicked(card);
            },
            maxTextHeight);
        panel->carry(view);
        panel->setPlacedOn(target.screen);

        panel->setFrameOrigin(placed ? HUDLayout::placement(request.position, target.visibleFrame, panel->size())
                                     : QPointF(0, 0));
        const QRectF f = panel->frame();
        debugLog(QStringLiteral("ordering front: frame=") + describeRect(f.x(), f.y(), f.width(), f.height())
                 + QStringLiteral(" screens=") + QString::number(screens.size()));

        panel->setWindowOpacity(0.0);
        panel->show();
        panel->raise();
        m_panels.append(panel);
        debugLog(QStringLiteral("after orderFront: isVisible=") + describeBool(panel->isVisible()));

        auto *fadeIn = new QPropertyAnimation(panel, "windowOpacity", panel);
        fadeIn->setObjectName(QStringLiteral("fadeIn"));
        fadeIn->setDuration(kFadeInMs);
        fadeIn->setStartValue(0.0);
        fadeIn->setEndValue(1.0);
        connect(fadeIn, &QPropertyAnimation::finished, this, &HUDController::preparePanels);
        fadeIn->start(QAbstractAnimation::DeleteWhenStopped);
    }
    // Panels are made ahead for as many cards as a message has had: a
    // message on all screens after one on the main screen still finds one
    // for each.
    m_spareCount = std::max(m_spareCount, m_panels.size());

    // One timer for all the cards of a message.
    startDismissTimer(request.seconds ? *request.seconds : automaticDuration(request.message));
    for (const QPointer<HUDPanel> &p : std::as_const(m_panels))
        Q_EMIT panelShown(p);
}

HUDPanel *HUDController::takePanel()
{
    while (!m_spare.isEmpty()) {
        HUDPanel *panel = m_spare.takeLast();
        if (panel)
            return panel;
    }
    return new HUDPanel();
}

void HUDController::preparePanels()
{
    m_spare.removeAll(nullptr);
    while (m_spare.size() < m_spareCount) {
        auto *panel = new HUDPanel();
        panel->createWindowAhead();
        m_spare.append(panel);
    }
}

void HUDController::screenRemoved(QScreen *screen)
{
    // Its card has nowhere to stand; the message's other cards stay.
    bool closed = false;
    for (qsizetype i = m_panels.size() - 1; i >= 0; --i) {
        HUDPanel *p = m_panels.at(i);
        if (p && p->placedOn() == screen) {
            m_panels.removeAt(i);
            Q_EMIT panelDismissed(p);
            closeNow(p);
            closed = true;
        }
    }
    if (closed && !panel()) {
        m_panels.clear();
        m_dismissTask.reset();
        settle(m_ticket, HUDOutcome::timeout);
    }
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

void HUDController::dismiss(HUDOutcome why)
{
    if (m_dismissTask) {
        // dismiss() may run inside the timer's own timeout; delete it later.
        m_dismissTask->stop();
        m_dismissTask.release()->deleteLater();
    }
    if (!panel())
        return;
    settle(m_ticket, why);
    for (const QPointer<HUDPanel> &p : std::exchange(m_panels, {})) {
        if (!p)
            continue;
        HUDPanel *panel = p;
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
}

void HUDController::cardClicked(HUDPanel *card)
{
    // A click belongs to the message of the card it lands on. A card still
    // fading out has ended its message already, and the message up now is
    // another one.
    const bool current = std::any_of(m_panels.cbegin(), m_panels.cend(),
                                     [card](const QPointer<HUDPanel> &p) { return p == card; });
    if (current)
        dismiss(HUDOutcome::clicked);
}

QCoro::Task<HUDOutcome> HUDController::showAndWait(QString message, HUDPosition position,
                                                   std::optional<double> duration, std::optional<HUDScreen> screen)
{
    const Ticket ticket = std::make_shared<std::optional<HUDOutcome>>();
    show(Pending{message, position, duration, screen, ticket});
    QPointer<HUDController> self(this);
    while (self && (self->panel() || self->pending))
        co_await sleepPrecisely(kWaitPollMs);
    co_await sleepPrecisely(kWaitTailMs);
    debugLog(QStringLiteral("showAndWait complete"));
    // Unsettled only when the controller went first.
    co_return ticket->value_or(HUDOutcome::timeout);
}
