#include "release/Release.h"

#include "platform/DottedVersion.h"
#include "release/PhasedRollout.h"
#include "release/StrictJson.h"
#include "release/UpdaterFailure.h"

#include <QJsonValue>
#include <QRegularExpression>

namespace {

const QString kDocument = QStringLiteral("The update feed");

[[noreturn]] void fail(const QString &key, const QString &problem)
{
    throw PlatformError(QStringLiteral("The update feed's \"%1\" %2.").arg(key, problem));
}

QJsonValue required(const StrictJsonObject &json, const QString &key)
{
    const QJsonValue v = json.object.value(key);
    if (v.isUndefined())
        throw PlatformError(QStringLiteral("The update feed has no \"%1\".").arg(key));
    if (v.isNull())
        fail(key, QStringLiteral("is null"));
    return v;
}

QString requiredString(const StrictJsonObject &json, const QString &key)
{
    const QJsonValue v = required(json, key);
    if (!v.isString())
        fail(key, QStringLiteral("isn't a string"));
    return v.toString();
}

std::optional<QString> optionalString(const StrictJsonObject &json, const QString &key)
{
    const QJsonValue v = json.object.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!v.isString())
        fail(key, QStringLiteral("isn't a string"));
    return v.toString();
}

// QJsonDocument reads 42, 42.0 and 4.2e1 alike; only the first is an
// integer as written.
qint64 integerAsWritten(const StrictJsonObject &json, const QString &key, const QJsonValue &v)
{
    if (!v.isDouble())
        fail(key, QStringLiteral("isn't a number"));
    static const QRegularExpression integerLiteral(QStringLiteral("^-?(0|[1-9][0-9]*)$"));
    const QString raw = QString::fromLatin1(json.rawValues.value(key));
    bool ok = false;
    const qint64 value = raw.toLongLong(&ok);
    if (!integerLiteral.match(raw).hasMatch())
        fail(key, QStringLiteral("isn't a whole number"));
    if (!ok)
        fail(key, QStringLiteral("doesn't fit in a 64-bit integer"));
    return value;
}

qint64 requiredInteger(const StrictJsonObject &json, const QString &key)
{
    return integerAsWritten(json, key, required(json, key));
}

std::optional<qint64> optionalSeconds(const StrictJsonObject &json, const QString &key)
{
    const QJsonValue v = json.object.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    const qint64 seconds = integerAsWritten(json, key, v);
    if (seconds < 1)
        fail(key, QStringLiteral("isn't at least 1 second"));
    return seconds;
}

std::optional<QDateTime> optionalDate(const StrictJsonObject &json, const QString &key)
{
    const std::optional<QString> text = optionalString(json, key);
    if (!text)
        return std::nullopt;
    PhasedRollout::DateError error = PhasedRollout::DateError::form;
    const std::optional<QDateTime> date = PhasedRollout::parseDate(*text, &error);
    if (!date && error == PhasedRollout::DateError::years)
        fail(key, QStringLiteral("lies outside the years 0001 to 9999 (in UTC), so it can't be shown"));
    if (!date)
        fail(key, QStringLiteral("isn't an ISO 8601 date and time with a zone"));
    return date;
}

std::optional<QString> optionalDottedVersion(const StrictJsonObject &json, const QString &key)
{
    const std::optional<QString> text = optionalString(json, key);
    if (text && !DottedVersion::parse(*text))
        fail(key, QStringLiteral("isn't a version of whole numbers separated by dots"));
    return text;
}

std::optional<QString> optionalMachine(const StrictJsonObject &json, const QString &key)
{
    static const QRegularExpression machine(QStringLiteral("^[A-Za-z0-9_]+$"));
    const std::optional<QString> text = optionalString(json, key);
    if (text && !machine.match(*text).hasMatch())
        fail(key, QStringLiteral("isn't a machine name of letters, digits and \"_\""));
    return text;
}

} // namespace

QString writtenScheme(const QString &urlText)
{
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):"));
    const auto m = scheme.match(urlText);
    return m.hasMatch() ? m.captured(1) : QString();
}

Release Release::decode(const QByteArray &body, QString *urlTextOut)
{
    const StrictJsonObject json = StrictJsonObject::parse(body, kDocument);
    Release r;
    r.version = requiredString(json, QStringLiteral("version"));
    r.build = requiredInteger(json, QStringLiteral("build"));
    const QString urlText = requiredString(json, QStringLiteral("url"));
    r.url = QUrl(urlText, QUrl::StrictMode);
    if (urlText.isEmpty() || !r.url.isValid())
        fail(QStringLiteral("url"), QStringLiteral("isn't a valid URL"));
    if (urlTextOut)
        *urlTextOut = urlText;
    r.sha256 = requiredString(json, QStringLiteral("sha256"));
    r.notes = optionalString(json, QStringLiteral("notes"));
    r.minimumSystemVersion = optionalString(json, QStringLiteral("minimumSystemVersion"));
    r.pubDate = optionalDate(json, QStringLiteral("pubDate"));
    r.phasedRolloutInterval = optionalSeconds(json, QStringLiteral("phasedRolloutInterval"));
    r.architecture = optionalMachine(json, QStringLiteral("architecture"));
    r.minimumGlibcVersion = optionalDottedVersion(json, QStringLiteral("minimumGlibcVersion"));
    r.minimumLibstdcxxVersion = optionalDottedVersion(json, QStringLiteral("minimumLibstdcxxVersion"));
    r.deltas = decodeReleaseDeltas(json);
    return r;
}
