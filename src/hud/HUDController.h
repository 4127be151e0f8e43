#pragma once

#include "hud/HUDOutcome.h"
#include "hud/HUDPosition.h"
#include "hud/HUDScreen.h"
#include "desktop/Screens.h"
#include "platform/DefaultsStore.h"

#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <climits>
#include <functional>
#include <memory>
#include <optional>

#include "hud/HUDPanel.h"


class QScreen;

// The one owner of the message on screen. Keeps at most one message up (as
// one card, or one card per screen), replaces it at once when a newer
// request arrives, dismisses it after its display time or on a click, and
// holds a request that arrives before launching has finished. Lives on the
// GUI thread for the whole run.
class HUDController final : public QObject {
    Q_OBJECT
public:
    // Where a request learns how its message ended; empty until it has.
    using Ticket = std::shared_ptr<std::optional<HUDOutcome>>;

    struct Pending {
        QString message;
        HUDPosition position = HUDPosition::center;
        std::optional<double> seconds;
        // None: the user's setting at the time the message is shown.
        std::optional<HUDScreen> screen;
        Ticket ticket;
    };

    // The one instance, made on first use on the GUI thread, never destroyed.
    static HUDController &shared();
    // Used by shared(), and by tests for a controller of their own that
    // starts not ready, whatever ran before.
    explicit HUDController(QObject *parent = nullptr);
    // Takes its panels with it.
    ~HUDController() override;

    void show(const QString &message, HUDPosition position, std::optional<double> duration,
              std::optional<HUDScreen> screen = std::nullopt);
    // Shows a request as it was held, keeping its ticket.
    void show(const Pending &request);
    // Shows the message and finishes once no panel is shown and nothing is
    // held, plus a short pause for the fade-out to end; then says how this
    // message ended (a newer one may have been on screen since).
    QCoro::Task<HUDOutcome> showAndWait(QString message, HUDPosition position, std::optional<double> duration,
                                        std::optional<HUDScreen> screen = std::nullopt);
    // Fades out every card of the message; `why` is what its caller learns.
    void dismiss(HUDOutcome why = HUDOutcome::timeout);

    // Set by the application delegate once launching has finished.
    bool appIsReady = false;
    // The one request held while the application is not ready.
    std::optional<Pending> pending;

    // The first card of the message on screen (the only one unless it is
    // on all screens), and all of them.
    HUDPanel *panel() const;
    QList<HUDPanel *> panels() const;
    bool hasDismissTimer() const { return m_dismissTask != nullptr; }

    // min(max(n * 0.06 + 1.2, 2), 10) for n user-perceived characters.
    static double automaticDuration(const QString &message);
    // User-perceived characters, counted up to limit at most.
    static int graphemeCount(const QString &message, int limit = INT_MAX);

    // Test seams: the screens (y up), main screen first, and the pointer.
    using ScreenSource = std::function<QList<Screens::Screen>()>;
    using PointerSource = std::function<std::optional<QPointF>()>;
    void setScreenSource(ScreenSource source, PointerSource pointer = {});

    // Timings, exposed so tests can wait on them without copying numbers.
    static constexpr int kFadeInMs = 150;
    static constexpr int kFadeOutMs = 450;
    static constexpr int kWaitPollMs = 100;
    static constexpr int kWaitTailMs = 600;

Q_SIGNALS:
    // A panel was put on screen / a dismissal started (for observers and tests).
    void panelShown(HUDPanel *panel);
    void panelDismissed(HUDPanel *panel);

private:
    void showCards(const Pending &request);
    QList<Screens::Screen> chosenScreens(const QList<Screens::Screen> &screens, HUDScreen choice) const;
    void startDismissTimer(double seconds);
    HUDPanel *takePanel();
    void cardClicked(HUDPanel *card);
    void preparePanels();
    void screenRemoved(QScreen *screen);
    HUDScreen userScreenChoice();
    static void settle(const Ticket &ticket, HUDOutcome outcome);

    // The cards of the message on screen: one, or one per screen.
    QList<QPointer<HUDPanel>> m_panels;
    // The ticket of the message on screen.
    Ticket m_ticket;
    // Empty panels whose X windows already exist, made while idle after a
    // message has faded in, as many as the most cards a message has had,
    // so the next message appears sooner. Each card still gets a panel of
    // its own.
    QList<QPointer<HUDPanel>> m_spare;
    qsizetype m_spareCount = 1;
    std::unique_ptr<QTimer> m_dismissTask;
    ScreenSource m_screens;
    PointerSource m_pointer;
    // The screen setting, read for each message; parsed again only when the
    // file changed.
    DefaultsReader m_settings;
};
