#include "hud/HUDAccessible.h"

#include "hud/HUDPanel.h"
#include "hud/HUDView.h"

#include <QAccessibleWidget>

namespace {

class CardAccessible final : public QAccessibleWidget {
public:
    // A notification from the start, also as a panel made ahead that does
    // not carry its card yet: screen readers keep the role of an object for
    // its whole life, and AT-SPI has no event that would tell them it
    // changed when the panel becomes a card.
    explicit CardAccessible(HUDPanel *panel) : QAccessibleWidget(panel, QAccessible::Notification) {}

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

void cardCarried(QObject *panel)
{
    // Its name was empty until now, and screen readers keep a name they
    // have read until they hear it changed. Without an assistive technology
    // no accessible object is made for this.
    if (!QAccessible::isActive())
        return;
    QAccessibleEvent changed(panel, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

} // namespace HUDAccessible
