#pragma once

#include <QIcon>

// The tray's symbol: a speech bubble with its tail at the bottom middle,
// drawn here at the sizes panels ask for. A white body with a dark rim reads
// on light and on dark panels alike.
QIcon trayIconImage();
