#pragma once

#include <QString>

// Text from outside (a release's version and notes, a build's revision, an
// error) is shown as plain text only. These keep such text from disturbing
// what surrounds it on screen; none of them interprets markup.

// Text whose right-to-left characters or directional controls would reorder
// the words around it comes back inside a first-strong isolate (U+2068 …
// U+2069); other text comes back unchanged.
QString isolatedForDisplay(const QString &text);

// Runs of more than `maxRun` characters without a break opportunity get a
// zero-width space every `maxRun` characters, so a label that wraps at word
// boundaries can still wrap a huge unbroken token instead of clipping it.
QString wrappableForDisplay(const QString &text, int maxRun = 32);

// One short line, for a menu item: line breaks and tabs become blanks (a tab
// starts a menu's shortcut column) and text beyond maxChars is cut with "…".
QString singleLineText(const QString &text, int maxChars);
