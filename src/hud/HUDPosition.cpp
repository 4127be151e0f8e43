#include "hud/HUDPosition.h"
#include "hud/HUDPositionNames.h"

#include <QHash>
#include <QStringList>

namespace {

constexpr const char *kTitles[] = {
    "center", "top", "bottom", "left", "right", "top left", "top right", "bottom left", "bottom right",
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
    const std::string_view raw = HUDPositionNames::raw[static_cast<size_t>(position)];
    return QString::fromLatin1(raw.data(), qsizetype(raw.size()));
}

std::optional<HUDPosition> fromRawValue(const QString &text)
{
    for (HUDPosition p : allCases()) {
        const std::string_view raw = HUDPositionNames::raw[static_cast<size_t>(p)];
        if (text == QLatin1String(raw.data(), qsizetype(raw.size())))
            return p;
    }
    return std::nullopt;
}

QString rawValueList()
{
    return QString::fromLatin1(HUDPositionNames::list.data(), qsizetype(HUDPositionNames::list.size()));
}

QString displayTitle(HUDPosition position)
{
    return QString::fromLatin1(kTitles[static_cast<int>(position)]);
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
