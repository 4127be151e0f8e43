#pragma once

#include <QList>
#include <QString>

// The actions the app offers to desktop launchers: each becomes a desktop
// action of the .desktop entry (run as `Ferrowhistle --action ID`) and is
// accepted by ActivateAction on the bus. Adding one is one line here plus
// what it does in the app.
struct DesktopAction {
    QString id;
    QString title;
};

inline const QList<DesktopAction> &desktopActions()
{
    static const QList<DesktopAction> actions{
        {QStringLiteral("show-test-message"), QStringLiteral("Show Test Message")},
        {QStringLiteral("settings"), QStringLiteral("Settings\u2026")},
        {QStringLiteral("quit"), QStringLiteral("Quit Ferrowhistle")},
    };
    return actions;
}

inline bool isDesktopAction(const QString &id)
{
    for (const DesktopAction &action : desktopActions()) {
        if (action.id == id)
            return true;
    }
    return false;
}
