#pragma once

#include "app/AppDelegate.h"
#include "app/TrayMenu.h"

#include <QObject>
#include <QStringList>

#include <memory>

class QApplication;

// The application: logs its command line, schedules the command line's test
// message, and hands the finished launch to its delegate on the first turn
// of the event loop; then it puts up the tray menu.
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

    TrayMenu *trayMenu() const { return m_tray.get(); }

    // The command line asked for a desktop action (--action), or one was
    // handed over from a later launch.
    Q_SIGNAL void actionRequested(const QString &action);

    // The delay between start and the command line's message.
    static constexpr int kTestMessageDelayMs = 500;

    // Entry used by main(): prepares Qt, runs the event loop.
    static int main(int argc, char **argv);

private:
    AppDelegate m_appDelegate;
    std::unique_ptr<TrayMenu> m_tray;
};
