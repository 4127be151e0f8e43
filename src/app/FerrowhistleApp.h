#pragma once

#include "app/AppDelegate.h"
#include "app/TrayMenu.h"
#include "intent/AutomationService.h"
#include "app/AppActions.h"

#include <QObject>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <memory>

class QApplication;

// The application: logs its command line, schedules the command line's test
// message, and hands the finished launch to its delegate on the first turn
// of the event loop; once its first card is on screen (or none has come) it
// loads the updater, runs the remaining launch steps and puts up the tray.
class FerrowhistleApp final : public QObject {
    Q_OBJECT
public:
    // arguments: the full argument vector, program path first.
    explicit FerrowhistleApp(const QStringList &arguments, QObject *parent = nullptr);

    AppDelegate &appDelegate() { return m_appDelegate; }

    // The command line of a later launch, handed over on the session bus:
    // its --test-message goes to the controller at once, without the start-up
    // delay (held by the controller if this launch has not finished yet).
    void handleForwardedCommandLine(const QStringList &arguments);
    // The menu's test message, also the desktop action "show-test-message".
    static void showTestMessage();
    // The menu's "Settings…", also Activate and the desktop action "settings":
    // opens the one settings window or raises it.
    static void openSettings();
    // The install commands of the menu and of the settings window.
    static void installRelease(const Release &release);
    // Runs one named action, as ActivateAction, --action and a handed-over
    // command line ask for it alike.
    static std::optional<AutomationService::ActionRefusal> runAction(AppAction action, AutomationService &automation);

    TrayMenu *trayMenu() const { return m_tray.get(); }

    // The command line asked for a desktop action (--action), or one was
    // handed over from a later launch.
    Q_SIGNAL void actionRequested(AppAction action);
    // The launch has settled and the updater has loaded: this copy has
    // started, as a start watch asks of it.
    Q_SIGNAL void started(qint64 build, const QString &bundlePath);

    // The delay between start and the command line's message.
    static constexpr int kTestMessageDelayMs = 500;
    // How long a start waits for its first card before it loads the updater
    // and puts up the tray all the same; longer than the delay above, so a
    // command line's message comes first.
    static constexpr int kLaunchSettleMs = 1000;

    // Entry used by main(): prepares Qt, runs the event loop.
    static int main(int argc, char **argv);

private:
    // Loads the updater once the launch has settled, then runs the rest of
    // the launch steps and puts up the tray.
    QCoro::Task<> startUpdaterAndTray();

    AppDelegate m_appDelegate;
    std::unique_ptr<TrayMenu> m_tray;
};
