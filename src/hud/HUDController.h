#pragma once

#include "hud/HUDPosition.h"

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


// The one owner of the message on screen. Keeps at most one panel, replaces
// it at once when a newer request arrives, dismisses it after its display
// time or on a click, and holds a request that arrives before launching has
// finished. Lives on the GUI thread for the whole run.
class HUDController final : public QObject {
    Q_OBJECT
public:
    struct Pending {
        QString message;
        HUDPosition position = HUDPosition::center;
        std::optional<double> seconds;
    };

    // The one instance, made on first use on the GUI thread, never destroyed.
    static HUDController &shared();
    // Used by shared(), and by tests for a controller of their own that
    // starts not ready, whatever ran before.
    explicit HUDController(QObject *parent = nullptr);
    // Takes its panels with it.
    ~HUDController() override;

    void show(const QString &message, HUDPosition position, std::optional<double> duration);
    // Shows the message and finishes once no panel is shown and nothing is
    // held, plus a short pause for the fade-out to end.
    QCoro::Task<> showAndWait(QString message, HUDPosition position, std::optional<double> duration);
    void dismiss();

    // Set by the application delegate once launching has finished.
    bool appIsReady = false;
    // The one request held while the application is not ready.
    std::optional<Pending> pending;

    HUDPanel *panel() const { return m_panel; }
    bool hasDismissTimer() const { return m_dismissTask != nullptr; }

    // min(max(n * 0.06 + 1.2, 2), 10) for n user-perceived characters.
    static double automaticDuration(const QString &message);
    // User-perceived characters, counted up to limit at most.
    static int graphemeCount(const QString &message, int limit = INT_MAX);

    // Test seam: the visible frames of the screens (y up), main screen first.
    using ScreenSource = std::function<QList<QRectF>()>;
    void setScreenSource(ScreenSource source);

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
    void startDismissTimer(double seconds);
    HUDPanel *takePanel();
    void preparePanel();

    QPointer<HUDPanel> m_panel;
    // An empty panel whose X window already exists, made while idle after a
    // card has faded in, so the next card appears sooner. Each card still
    // gets a panel of its own.
    QPointer<HUDPanel> m_nextPanel;
    std::unique_ptr<QTimer> m_dismissTask;
    ScreenSource m_screens;
};
