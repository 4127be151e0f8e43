#include "hud/HUDAccessible.h"

#include "hud/HUDPanel.h"
#include "hud/HUDView.h"

#include <QAccessibleWidget>

namespace {

class CardAccessible final : public QAccessibleWidget {
public:
    explicit CardAccessible(HUDPanel *panel) : QAccessibleWidget(panel, QAccessible::Notification) {}

    // A panel made ahead, still without its card, is no notification yet.
    QAccessible::Role role() const override
    {
        return static_cast<HUDPanel *>(widget())->view() ? QAccessible::Notification : QAccessible::Window;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name) {
            const HUDView *view = static_cast<HUDPanel *>(widget())->view();
            return view ? view->shownText() : QString();
        }
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        // A card is read out, never typed into or moved to.
        QAccessible::State s = QAccessibleWidget::state();
        s.focusable = false;
        s.focused = false;
        s.active = false;
        return s;
    }
};

QAccessibleInterface *cardFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("HUDPanel")) {
        if (auto *panel = qobject_cast<HUDPanel *>(object))
            return new CardAccessible(panel);
    }
    return nullptr;
}

} // namespace

namespace HUDAccessible {

void install()
{
    static const bool installed = [] {
        QAccessible::installFactory(&cardFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace HUDAccessible
