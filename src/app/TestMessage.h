#pragma once

#include <QString>

// The text of the menu's "Show Test Message" (and of the desktop action of
// the same name): shown at center with the automatic duration.
inline QString testMessageText()
{
    return QStringLiteral("Ferrowhistle is working \U0001F44B");
}
