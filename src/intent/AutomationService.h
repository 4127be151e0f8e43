#pragma once

#include "intent/DisplayMessageIntent.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

// The app's object on the session bus (BusNames::objectPath()). It answers
// three interfaces itself, so every argument is checked here and a bad call
// gets a clear error instead of a silent drop:
// - Intents.DisplayMessage(s, s, d): runs the action and replies only once the
//   message has gone. The reply is delayed, never waited for, so the GUI
//   thread keeps serving clicks, other calls and other messages meanwhile;
// - Intents.DisplayMessageWithOptions(s, s, d, a{sv}) -> (s): the same, with
//   the screen to show on, answered with how the message ended;
// - org.freedesktop.Application: Activate (opens the settings), Open,
//   ActivateAction;
// - Instance.HandleCommandLine(as): the command line of a second launch;
// - Instance.Build() -> x and Instance.BundlePath() -> s: the build and the
//   bundle of this copy, once its launch has settled (setStarted); before
//   that an Error.Starting. The start watch asks them of the name's owner.
class AutomationService final : public QDBusVirtualObject {
    Q_OBJECT
public:
    // Why an action cannot run now, answered to the caller as a D-Bus error.
    struct ActionRefusal {
        QString errorName;
        QString message;
    };
    // Runs an action by its id, one of those given with it (checked here
    // first); the reply goes out after it returns, so an action that ends
    // the process must leave that for a later turn of the event loop.
    using ActionHandler = std::function<std::optional<ActionRefusal>(const QString &id)>;

    explicit AutomationService(QObject *parent = nullptr);

    // The app's actions: their ids, in the order error texts list them, and
    // what runs them. Until then every ActivateAction is an unknown action.
    void setActions(QStringList ids, ActionHandler handler)
    {
        m_actionIds = std::move(ids);
        m_actionHandler = std::move(handler);
    }

    // The launch has settled: Build and BundlePath answer from now on.
    void setStarted(qint64 build, const QString &bundlePath)
    {
        m_build = build;
        m_bundlePath = bundlePath;
    }

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

    // The InvalidArgs text for a position that is not a raw value.
    static QString invalidPositionText(const QString &position);

    // Emits quitRequested once every reply sent so far on the connection
    // has reached the bus.
    void quitOnceRepliesAreOut(const QDBusConnection &connection);

Q_SIGNALS:
    void commandLineReceived(const QStringList &arguments);
    // Activate (a click on the app in a launcher): with no tray on many
    // desktops, that is the way to the settings.
    void settingsRequested();
    // Emitted by quitOnceRepliesAreOut once the replies have reached the bus.
    void quitRequested();

private:
    void displayMessage(const QDBusMessage &call, const QDBusConnection &connection);
    void displayMessageWithOptions(const QDBusMessage &call, const QDBusConnection &connection);
    void activateAction(const QDBusMessage &call, const QDBusConnection &connection);
    // withOutcome: the reply carries how the message ended.
    QCoro::Task<> performAndReply(DisplayMessageIntent intent, QDBusMessage call, QDBusConnection connection,
                                  bool withOutcome = false);

    QStringList m_actionIds;
    ActionHandler m_actionHandler;
    qint64 m_build = 0;
    QString m_bundlePath; // empty until the launch has settled
};
