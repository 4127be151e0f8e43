#include "app/MenuContent.h"

namespace {

MenuItem actionItem(QString title, MenuItem::Action action)
{
    MenuItem item;
    item.kind = MenuItem::Kind::action;
    item.title = std::move(title);
    item.action = action;
    return item;
}

} // namespace

QString MenuContent::installTitle(const QString &version)
{
    // arg() substitutes once, so a "%1" inside the version stays as written.
    return tr("Install Update %1 and Relaunch").arg(version);
}

QList<MenuItem> MenuContent::items(const UpdaterInterface::State &state)
{
    QList<MenuItem> items;
    if (const Release *release = state.release()) {
        MenuItem install = actionItem(installTitle(release->version), MenuItem::Action::install);
        install.release = *release;
        items << install << MenuItem{};
    }
    MenuItem settings = actionItem(tr("Settings\u2026"), MenuItem::Action::openSettings);
    settings.shortcut = settingsShortcut();
    items << actionItem(tr("Show Test Message"), MenuItem::Action::showTestMessage) << settings << MenuItem{}
          << actionItem(tr("Quit Ferrowhistle"), MenuItem::Action::quit);
    return items;
}
