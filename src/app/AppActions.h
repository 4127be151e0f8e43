#pragma once

#include "location/DesktopIntegration.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Every action the app answers to by name: from a launcher's desktop action
// (its Exec line runs `Ferrowhistle --action ID`), from ActivateAction on the
// bus, and from scripts. This list is the only place the names live; the app
// runs them in one switch over AppAction, so an action added here and not
// there does not build.
enum class AppAction { ShowTestMessage, Settings, CheckForUpdates, InstallUpdate, RevertUpdate, Quit };

struct DesktopAction {
    AppAction action;
    QString id;
    // The launcher's title; empty for the actions that only scripts use
    // (launchers list the menu's everyday items, not "Check Now").
    QString title;
};

inline const QList<DesktopAction> &desktopActions()
{
    static const QList<DesktopAction> actions{
        {AppAction::ShowTestMessage, QStringLiteral("show-test-message"), QStringLiteral("Show Test Message")},
        {AppAction::Settings, QStringLiteral("settings"), QStringLiteral("Settings\u2026")},
        {AppAction::CheckForUpdates, QStringLiteral("check-for-updates"), QString()},
        {AppAction::InstallUpdate, QStringLiteral("install-update"), QString()},
        {AppAction::RevertUpdate, QStringLiteral("revert-update"), QStringLiteral("Revert to Previous Version")},
        {AppAction::Quit, QStringLiteral("quit"), QStringLiteral("Quit Ferrowhistle")},
    };
    return actions;
}

// The actions a desktop entry lists, in order; the revert only while a
// previous version is kept.
inline QList<LauncherAction> launcherActions(bool previousKept)
{
    QList<LauncherAction> listed;
    for (const DesktopAction &action : desktopActions())
        if (!action.title.isEmpty() && (previousKept || action.action != AppAction::RevertUpdate))
            listed.append({action.id, action.title});
    return listed;
}

// The ids alone, in order (what the bus and --action accept).
inline QStringList actionIds()
{
    QStringList ids;
    for (const DesktopAction &action : desktopActions())
        ids.append(action.id);
    return ids;
}

inline std::optional<AppAction> desktopActionNamed(const QString &id)
{
    for (const DesktopAction &action : desktopActions())
        if (action.id == id)
            return action.action;
    return std::nullopt;
}

inline QString actionId(AppAction which)
{
    for (const DesktopAction &action : desktopActions())
        if (action.action == which)
            return action.id;
    return {};
}

// "show-test-message, settings, …" for usage texts and errors.
inline QString actionIdList()
{
    return actionIds().join(QStringLiteral(", "));
}
