#pragma once

class QObject;

// Shows each card to screen readers (over AT-SPI) as a notification whose
// name is the text on the card, so that one is announced when it appears
// without the card taking the focus. Until an assistive technology asks,
// Qt makes no accessible objects, so this costs nothing then.
namespace HUDAccessible {

// Installs the accessibility factory for cards; once per process.
void install();
// Says that a panel now carries its card: its name is the card's text.
void cardCarried(QObject *panel);

} // namespace HUDAccessible
