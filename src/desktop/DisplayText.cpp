#include "desktop/DisplayText.h"

namespace {

bool reordersNeighbours(QChar::Direction d)
{
    switch (d) {
    case QChar::DirR:
    case QChar::DirAL:
    case QChar::DirRLE:
    case QChar::DirRLO:
    case QChar::DirLRE:
    case QChar::DirLRO:
    case QChar::DirPDF:
    case QChar::DirRLI:
    case QChar::DirLRI:
    case QChar::DirFSI:
    case QChar::DirPDI:
        return true;
    default:
        return false;
    }
}

} // namespace

QString isolatedForDisplay(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char32_t c = text.at(i).isHighSurrogate() && i + 1 < text.size()
                               ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1))
                               : char32_t(text.at(i).unicode());
        if (reordersNeighbours(QChar::direction(c)))
            return QChar(0x2068) + text + QChar(0x2069);
        if (c > 0xFFFF)
            ++i;
    }
    return text;
}

QString wrappableForDisplay(const QString &text, int maxRun)
{
    QString out;
    out.reserve(text.size() + text.size() / maxRun);
    int run = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        out += c;
        if (c.isSpace() || c == QChar(0x200B) || c == u'-') {
            run = 0;
            continue;
        }
        // Never split a surrogate pair.
        if (c.isHighSurrogate())
            continue;
        if (++run >= maxRun && i + 1 < text.size()) {
            out += QChar(0x200B);
            run = 0;
        }
    }
    return out;
}

QString singleLineText(const QString &text, int maxChars)
{
    QString line = text;
    for (QChar &c : line) {
        if (c == u'\n' || c == u'\r' || c == u'\t' || c == QChar(0x2028) || c == QChar(0x2029) || c == u'\v'
            || c == u'\f')
            c = u' ';
    }
    if (line.size() > maxChars) {
        qsizetype cut = maxChars;
        if (line.at(cut - 1).isHighSurrogate())
            --cut;
        line = line.left(cut) + QChar(0x2026);
    }
    return line;
}
