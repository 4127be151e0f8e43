#include "hud/HUDScreen.h"

#include "hud/HUDScreenNames.h"

namespace HUDScreens {

QString rawValue(HUDScreen screen)
{
    const std::string_view name = HUDScreenNames::raw.at(static_cast<size_t>(screen));
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

std::optional<HUDScreen> fromRawValue(const QString &text)
{
    for (size_t i = 0; i < HUDScreenNames::raw.size(); ++i) {
        if (text == QLatin1String(HUDScreenNames::raw[i].data(), static_cast<qsizetype>(HUDScreenNames::raw[i].size())))
            return static_cast<HUDScreen>(i);
    }
    return std::nullopt;
}

QString rawValueList()
{
    return QString::fromLatin1(HUDScreenNames::list.data(), static_cast<qsizetype>(HUDScreenNames::list.size()));
}

} // namespace HUDScreens
