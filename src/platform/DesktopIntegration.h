#pragma once

#include <QString>

#include <stdexcept>

// Registration of a bundle with the desktop, in the user's data folder:
//   applications/com.copperkestrel.Ferrowhistle.desktop  the launcher entry,
//       D-Bus activatable, with one desktop action per DesktopAction;
//   dbus-1/services/com.copperkestrel.Ferrowhistle.service  D-Bus activation.
// Both point at the bundle's Contents/bin/Ferrowhistle.

struct DesktopIntegrationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes both files for the bundle at bundlePath (absolute) under dataHome
// (absolute; ${XDG_DATA_HOME:-~/.local/share} for a real install). Folders
// are created as needed; each file is replaced atomically, so a launcher
// never reads half of one. Throws DesktopIntegrationError with a sentence
// that names the path and the reason.
void installDesktopIntegration(const QString &bundlePath, const QString &dataHome);

// The user's data folder: $XDG_DATA_HOME when absolute, else ~/.local/share.
QString userDataHome();

// The two files installDesktopIntegration writes, as paths under dataHome.
QString desktopEntryPath(const QString &dataHome);
QString dbusServicePath(const QString &dataHome);

// Their contents, for a program at executablePath (absolute). Throws
// DesktopIntegrationError for a path neither file can carry (control
// characters, not absolute).
QByteArray desktopEntryText(const QString &executablePath, const QString &iconPath);
QByteArray dbusServiceText(const QString &executablePath);

// One argument of an Exec line: as is when it holds nothing the rules
// reserve, else in double quotes with " ` $ and \ escaped.
QString quotedExecArgument(const QString &argument);
