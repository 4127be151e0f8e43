#pragma once

#include <QString>
#include <QStringView>

// Where a message breaks into lines. Scripts send LF, CR LF or CR, and other
// text may carry VT, FF, NEL (U+0085), LINE SEPARATOR or PARAGRAPH SEPARATOR;
// Qt's text layout breaks only at LINE SEPARATOR (it draws an LF as nothing),
// so the card's text has every break as U+2028.
namespace MessageLines {

bool isBreak(QChar c);

// The message as the card lays it out: trailing breaks dropped, CR LF one
// break, every break a U+2028. At most `limit` units are made: a huge
// message is only ever laid out in part.
QString forLayout(QStringView message, qsizetype limit);

// Laid-out text back in plain form, breaks as LF (for screen readers).
QString plain(QStringView laidOut);

} // namespace MessageLines
