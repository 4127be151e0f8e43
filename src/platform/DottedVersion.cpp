#include "platform/DottedVersion.h"

#include <algorithm>
#include <limits>

std::optional<DottedVersion> DottedVersion::parse(QStringView text)
{
    DottedVersion v;
    for (const QStringView piece : text.split(u'.')) {
        if (piece.isEmpty())
            return std::nullopt;
        qint64 value = 0;
        for (const QChar c : piece) {
            if (c < u'0' || c > u'9')
                return std::nullopt;
            const int digit = c.unicode() - u'0';
            if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
                return std::nullopt;
            value = value * 10 + digit;
        }
        v.m_parts.append(value);
    }
    v.m_text = text.toString();
    return v;
}

std::strong_ordering DottedVersion::operator<=>(const DottedVersion &other) const
{
    const qsizetype n = std::max(m_parts.size(), other.m_parts.size());
    for (qsizetype i = 0; i < n; ++i) {
        const qint64 a = m_parts.value(i, 0);
        const qint64 b = other.m_parts.value(i, 0);
        if (a != b)
            return a <=> b;
    }
    return std::strong_ordering::equal;
}
