#include "hud/HUDPosition.h"

#include <QHash>
#include <QStringList>

namespace {

struct Names {
    const char *raw;
    const char *title;
};

constexpr Names kNames[] = {
    {"center", "center"},         {"top", "top"},
    {"bottom", "bottom"},         {"left", "left"},
    {"right", "right"},           {"topLeft", "top left"},
    {"topRight", "top right"},    {"bottomLeft", "bottom left"},
    {"bottomRight", "bottom right"},
};

} // namespace

namespace HUDPositions {

const std::array<HUDPosition, 9> &allCases()
{
    static const std::array<HUDPosition, 9> cases = {
        HUDPosition::center, HUDPosition::top,      HUDPosition::bottom,
        HUDPosition::left,   HUDPosition::right,    HUDPosition::topLeft,
        HUDPosition::topRight, HUDPosition::bottomLeft, HUDPosition::bottomRight,
    };
    return cases;
}

QString rawValue(HUDPosition position)
{
    return QString::fromLatin1(kNames[static_cast<int>(position)].raw);
}

std::optional<HUDPosition> fromRawValue(const QString &text)
{
    for (HUDPosition p : allCases()) {
        if (text == QLatin1String(kNames[static_cast<int>(p)].raw))
            return p;
    }
    return std::nullopt;
}

QString rawValueList()
{
    QStringList names;
    for (HUDPosition p : allCases())
        names.append(rawValue(p));
    return names.join(QStringLiteral(", "));
}

QString displayTitle(HUDPosition position)
{
    return QString::fromLatin1(kNames[static_cast<int>(position)].title);
}

QString typeDisplayName()
{
    return QStringLiteral("Position");
}

} // namespace HUDPositions

size_t qHash(HUDPosition position, size_t seed) noexcept
{
    return qHash(HUDPositions::rawValue(position), seed);
}
