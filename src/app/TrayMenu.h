#pragma once

#include "app/MenuContent.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>

// The tray icon and its menu. The menu's items come from MenuContent and are
// rebuilt whenever the updater changes and again just before the menu opens,
// so an offer that has gone is never shown.
class TrayMenu final : public QObject {
    Q_OBJECT
public:
    // What the items do; the app wires these to the updater, the HUD, the
    // settings window and the event loop.
    struct Actions {
        std::function<void(const Release &)> install;
        std::function<void()> showTestMessage;
        std::function<void()> openSettings;
        std::function<void()> quit;
    };

    TrayMenu(UpdaterInterface &updater, Actions actions, QObject *parent = nullptr);
    ~TrayMenu() override;

    // Shows the icon. Without a tray to hold it (GNOME by default) this says
    // so in the debug log; Qt adds the icon should a tray appear later.
    void show();
    static QString noTrayLogLine();

    QMenu &menu() { return m_menu; }
    const QList<MenuItem> &items() const { return m_items; }

private:
    void rebuild();
    void perform(const MenuItem &item);

    UpdaterInterface &m_updater;
    Actions m_actions;
    QMenu m_menu;
    QSystemTrayIcon m_tray;
    QList<MenuItem> m_items;
};
