#pragma once

#include "intent/BusNameLiterals.h"

#include <QString>

// Where the app answers on the session bus. The app, its command-line client
// and the desktop files all use these names.
namespace BusNames {

inline QString service() { return QLatin1String(Literal::service); }
inline QString objectPath() { return QLatin1String(Literal::objectPath); }
// DisplayMessage(s message, s position, d duration).
inline QString intentsInterface() { return QLatin1String(Literal::intentsInterface); }
// Activate, Open, ActivateAction for desktop launchers.
inline QString applicationInterface() { return QStringLiteral("org.freedesktop.Application"); }
// HandleCommandLine(as arguments): a second launch hands its command line over.
// Build() -> x and BundlePath() -> s: which copy runs, answered once its
// launch has settled.
inline QString instanceInterface() { return QLatin1String(Literal::instanceInterface); }


// Build and BundlePath asked before the launch has settled.
inline QString startingError() { return QLatin1String(Literal::startingError); }
// The error of install-update when no release is on offer.
inline QString noUpdateOfferedError() { return QStringLiteral("com.copperkestrel.Ferrowhistle.Error.NoUpdateOffered"); }
// The error of revert-update when no previous version is kept.
inline QString nothingKeptError() { return QStringLiteral("com.copperkestrel.Ferrowhistle.Error.NoPreviousVersion"); }

} // namespace BusNames
