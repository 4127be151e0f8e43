#include "desktop/ActivationPolicy.h"

#include <QApplication>
#include <QWidget>

namespace {
ActivationPolicy g_policy = ActivationPolicy::Regular;
}

ActivationPolicy activationPolicy()
{
    return g_policy;
}

bool setActivationPolicy(ActivationPolicy policy)
{
    g_policy = policy;
    if (policy == ActivationPolicy::Regular || !qApp)
        return true;
    QApplication::setQuitOnLastWindowClosed(false);
    // Windows that exist already lose their taskbar entry too.
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (!(w->windowFlags() & Qt::Tool) && w->windowType() == Qt::Window) {
            const bool visible = w->isVisible();
            w->setWindowFlag(Qt::Tool, true);
            if (visible)
                w->show();
        }
    }
    return true;
}
