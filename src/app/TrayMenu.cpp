#include "app/TrayMenu.h"

#include "app/TrayIconImage.h"
#include "hud/DebugLog.h"
#include "desktop/DisplayText.h"

#include <QCursor>

namespace {

// The install item names a version from the feed: keep it to one short line
// and free of markers a menu would act on.
QString displayTitle(const MenuItem &item)
{
    QString title = item.release ? MenuContent::installTitle(isolatedForDisplay(singleLineText(item.release->version, 40)))
                                 : item.title;
    return title.replace(u'&', QStringLiteral("&&"));
}

} // namespace

TrayMenu::TrayMenu(UpdaterInterface &updater, Actions actions, QObject *parent)
    : QObject(parent), m_updater(updater), m_actions(std::move(actions))
{
    m_tray.setIcon(trayIconImage());
    m_tray.setToolTip(QStringLiteral("Ferrowhistle"));
    m_tray.setContextMenu(&m_menu);
    m_menu.setTitle(QStringLiteral("Ferrowhistle"));
    rebuild();
    connect(&m_updater, &UpdaterInterface::changed, this, &TrayMenu::rebuild);
    connect(&m_menu, &QMenu::aboutToShow, this, &TrayMenu::rebuild);
    // Trays that leave a left click to the app get the same menu.
    connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !m_menu.isVisible())
            m_menu.popup(QCursor::pos());
    });
}

TrayMenu::~TrayMenu()
{
    m_tray.setContextMenu(nullptr);
}

QString TrayMenu::noTrayLogLine()
{
    return QStringLiteral("no system tray; Settings\u2026 opens from the launcher (Activate) or the "
                          "\"settings\" desktop action");
}

void TrayMenu::show()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        debugLog(noTrayLogLine());
    m_tray.show();
}

void TrayMenu::rebuild()
{
    QList<MenuItem> items = MenuContent::items(m_updater);
    // Unchanged items keep their entries, so a panel reading the menu sees
    // the same ids until something really changes.
    if (items == m_items && !m_menu.isEmpty())
        return;
    m_items = std::move(items);
    // Later, not now: the action being triggered may be what changed the
    // updater, and it must outlive its own signal.
    for (QAction *old : m_menu.actions()) {
        m_menu.removeAction(old);
        old->deleteLater();
    }
    for (const MenuItem &item : std::as_const(m_items)) {
        if (item.kind == MenuItem::Kind::divider) {
            m_menu.addSeparator();
            continue;
        }
        QAction *action = m_menu.addAction(displayTitle(item));
        action->setShortcut(item.shortcut);
        // The item keeps the release it was built with.
        connect(action, &QAction::triggered, this, [this, item] { perform(item); });
    }
}

void TrayMenu::perform(const MenuItem &item)
{
    switch (item.action) {
    case MenuItem::Action::install:
        if (item.release && m_actions.install)
            m_actions.install(*item.release);
        break;
    case MenuItem::Action::showTestMessage:
        if (m_actions.showTestMessage)
            m_actions.showTestMessage();
        break;
    case MenuItem::Action::openSettings:
        if (m_actions.openSettings)
            m_actions.openSettings();
        break;
    case MenuItem::Action::quit:
        if (m_actions.quit)
            m_actions.quit();
        break;
    case MenuItem::Action::none:
        break;
    }
}
