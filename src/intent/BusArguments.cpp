#include "intent/BusArguments.h"

namespace BusArguments {

QString shortened(const QString &text)
{
    constexpr qsizetype kMax = 64;
    if (text.size() <= kMax)
        return text;
    // Never cut a surrogate pair in two.
    const qsizetype cut = text.at(kMax - 1).isHighSurrogate() ? kMax - 1 : kMax;
    return text.left(cut) + QStringLiteral("…");
}

std::optional<QString> signatureRefusal(const QString &member, const QString &signature, const char *expected,
                                        const char *description)
{
    if (signature == QLatin1String(expected))
        return std::nullopt;
    return QStringLiteral("%1 takes (%2), signature \"%3\"; got signature \"%4\"")
        .arg(shortened(member), QLatin1String(description), QLatin1String(expected), shortened(signature));
}

QString invalidPositionText(const QString &position)
{
    return QStringLiteral("position \"%1\" is not one of: %2 (or empty for center)")
        .arg(shortened(position), HUDPositions::rawValueList());
}

std::variant<DisplayMessageCall, QString> displayMessage(const QString &signature, const QVariantList &args)
{
    if (auto refusal = signatureRefusal(QStringLiteral("DisplayMessage"), signature, "ssd",
                                        "s message, s position, d duration"))
        return *refusal;
    if (args.size() != 3)
        return QStringLiteral("DisplayMessage takes three arguments");
    DisplayMessageCall call;
    const QString positionText = args.at(1).toString();
    if (!positionText.isEmpty()) {
        const std::optional<HUDPosition> position = HUDPositions::fromRawValue(positionText);
        if (!position)
            return invalidPositionText(positionText);
        call.position = *position;
    }
    call.message = args.at(0).toString();
    call.duration = args.at(2).toDouble();
    return call;
}

} // namespace BusArguments
