#pragma once

#include "update/UpdaterInterface.h"

#include <QCoreApplication>
#include <QKeySequence>
#include <QList>
#include <QString>

#include <optional>

// One entry of the tray menu, as plain data: what it says, its key, what it
// does. Built afresh from the updater each time the menu is shown or the
// updater changes; the tray turns the list into a QMenu.
struct MenuItem {
    enum class Kind { action, divider };
    enum class Action { none, install, showTestMessage, openSettings, quit };

    Kind kind = Kind::divider;
    QString title;
    Action action = Action::none;
    QKeySequence shortcut;            // only "Settings…" has one
    std::optional<Release> release;   // the release the install item offers

    bool operator==(const MenuItem &) const = default;
};

class MenuContent {
    Q_DECLARE_TR_FUNCTIONS(MenuContent)
public:
    // The items for this updater state, top to bottom. An offered release
    // leads with its install item and a divider; the rest is always there.
    static QList<MenuItem> items(const UpdaterInterface::State &state);
    static QList<MenuItem> items(const UpdaterInterface &updater) { return items(updater.state()); }

    // "Install Update 1.4.2 and Relaunch".
    static QString installTitle(const QString &version);
    // Ctrl+, stands in for the platform's settings key.
    static QKeySequence settingsShortcut() { return QKeySequence(Qt::CTRL | Qt::Key_Comma); }
};
