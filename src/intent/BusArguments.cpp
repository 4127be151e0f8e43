#include "intent/BusArguments.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>

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

namespace {

// The first three arguments of both display methods, already of their types.
std::variant<DisplayMessageCall, QString> messagePositionDuration(const QVariantList &args)
{
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

// The D-Bus type of an option's value, for the refusal of a wrong one.
QString signatureOf(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
    const char *sig = QDBusMetaType::typeToSignature(value.metaType());
    return sig ? QString::fromLatin1(sig) : QStringLiteral("?");
}

} // namespace

std::variant<DisplayMessageCall, QString> displayMessage(const QString &signature, const QVariantList &args)
{
    if (auto refusal = signatureRefusal(QStringLiteral("DisplayMessage"), signature, "ssd",
                                        "s message, s position, d duration"))
        return *refusal;
    if (args.size() != 3)
        return QStringLiteral("DisplayMessage takes three arguments");
    return messagePositionDuration(args);
}

QString knownOptionsText()
{
    return QStringLiteral("screen (s: %1)").arg(HUDScreens::rawValueList());
}

std::variant<DisplayMessageWithOptionsCall, QString> displayMessageWithOptions(const QString &signature,
                                                                               const QVariantList &args)
{
    if (auto refusal = signatureRefusal(QStringLiteral("DisplayMessageWithOptions"), signature, "ssda{sv}",
                                        "s message, s position, d duration, a{sv} options"))
        return *refusal;
    if (args.size() != 4)
        return QStringLiteral("DisplayMessageWithOptions takes four arguments");
    auto first = messagePositionDuration(args);
    if (QString *refusal = std::get_if<QString>(&first))
        return std::move(*refusal);
    DisplayMessageWithOptionsCall call{std::get<DisplayMessageCall>(std::move(first)), std::nullopt};

    // a{sv} arrives still marshalled. Each value is checked as sent: a
    // variant in the variant, or a number, is not a string.
    const QDBusArgument options = args.at(3).value<QDBusArgument>();
    options.beginMap();
    while (!options.atEnd()) {
        QString key;
        QDBusVariant boxed;
        options.beginMapEntry();
        options >> key >> boxed;
        options.endMapEntry();
        const QVariant value = boxed.variant();
        if (key != QLatin1String("screen")) {
            options.endMap();
            return QStringLiteral("unknown option \"%1\"; options: %2").arg(shortened(key), knownOptionsText());
        }
        if (value.metaType() != QMetaType::fromType<QString>()) {
            options.endMap();
            return QStringLiteral("option \"screen\" takes a string (s: %1); got type \"%2\"")
                .arg(HUDScreens::rawValueList(), shortened(signatureOf(value)));
        }
        const QString name = value.toString();
        const std::optional<HUDScreen> screen = HUDScreens::fromRawValue(name);
        if (!screen) {
            options.endMap();
            return QStringLiteral("screen \"%1\" is not one of: %2").arg(shortened(name), HUDScreens::rawValueList());
        }
        call.screen = screen;
    }
    options.endMap();
    return call;
}

} // namespace BusArguments
