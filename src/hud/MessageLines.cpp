#include "hud/MessageLines.h"

#include <algorithm>

namespace MessageLines {

bool isBreak(QChar c)
{
    switch (c.unicode()) {
    case 0x000A: // LF
    case 0x000B: // VT
    case 0x000C: // FF
    case 0x000D: // CR
    case 0x0085: // NEL
    case 0x2028: // LINE SEPARATOR
    case 0x2029: // PARAGRAPH SEPARATOR
        return true;
    default:
        return false;
    }
}

QString forLayout(QStringView message, qsizetype limit)
{
    qsizetype end = message.size();
    while (end > 0 && isBreak(message.at(end - 1)))
        --end;
    QString out;
    out.reserve(std::min(end, std::max<qsizetype>(limit, 0)));
    for (qsizetype i = 0; i < end && out.size() < limit; ++i) {
        const QChar c = message.at(i);
        if (!isBreak(c)) {
            out.append(c);
            continue;
        }
        out.append(QChar::LineSeparator);
        if (c == u'\r' && i + 1 < end && message.at(i + 1) == u'\n')
            ++i;
    }
    return out;
}

QString plain(QStringView laidOut)
{
    QString out = laidOut.toString();
    out.replace(QChar::LineSeparator, u'\n');
    return out;
}

} // namespace MessageLines
