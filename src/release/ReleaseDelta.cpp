#include "release/ReleaseDelta.h"

#include "release/Release.h"
#include "release/StrictJson.h"
#include "release/UpdaterFailure.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

namespace {

constexpr qint64 kMaxLength = 209715200;

[[noreturn]] void fail(const QString &problem)
{
    throw PlatformError(QStringLiteral("The update feed's \"deltas\" %1.").arg(problem));
}

// QJsonDocument reads 42, 42.0 and 4.2e1 alike; the written text tells
// them apart. Judges the numbers written after a key "fromBuild" or
// "length" (other keys are ignored, whatever they hold).
bool onlyWholeNumbers(const QByteArray &raw)
{
    qsizetype i = 0;
    while (i < raw.size()) {
        if (raw[i] != '"') {
            ++i;
            continue;
        }
        const qsizetype open = ++i;
        while (i < raw.size() && raw[i] != '"')
            i += raw[i] == '\\' ? 2 : 1;
        const QByteArray key = raw.mid(open, i - open);
        ++i;
        if (key != "fromBuild" && key != "length")
            continue;
        qsizetype j = i;
        while (j < raw.size() && (raw[j] == ' ' || raw[j] == '\t' || raw[j] == '\n' || raw[j] == '\r'))
            ++j;
        if (j >= raw.size() || raw[j] != ':')
            continue; // a value, not a key
        ++j;
        while (j < raw.size() && (raw[j] == ' ' || raw[j] == '\t' || raw[j] == '\n' || raw[j] == '\r'))
            ++j;
        while (j < raw.size() && (raw[j] == '-' || raw[j] == '+' || (raw[j] >= '0' && raw[j] <= '9') || raw[j] == '.'
                                  || raw[j] == 'e' || raw[j] == 'E')) {
            if (raw[j] == '.' || raw[j] == 'e' || raw[j] == 'E')
                return false;
            ++j;
        }
    }
    return true;
}

qint64 wholeNumber(const QJsonObject &o, const QString &key, qsizetype index, qint64 low, qint64 high)
{
    const QJsonValue v = o.value(key);
    const QString where = QStringLiteral("entry %1's \"%2\"").arg(index).arg(key);
    if (v.isUndefined() || v.isNull())
        fail(QStringLiteral("entry %1 has no \"%2\"").arg(index).arg(key));
    if (!v.isDouble())
        fail(where + QStringLiteral(" isn't a number"));
    const double d = v.toDouble();
    if (d != std::floor(d) || d < double(low) || d > double(high))
        fail(where + QStringLiteral(" isn't a whole number from %1 to %2").arg(low).arg(high));
    return qint64(d);
}

QString text(const QJsonObject &o, const QString &key, qsizetype index)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        fail(QStringLiteral("entry %1 has no \"%2\"").arg(index).arg(key));
    if (!v.isString())
        fail(QStringLiteral("entry %1's \"%2\" isn't a string").arg(index).arg(key));
    return v.toString();
}

} // namespace

std::vector<ReleaseDelta> decodeReleaseDeltas(const StrictJsonObject &json)
{
    const QJsonValue v = json.object.value(QStringLiteral("deltas"));
    if (v.isUndefined() || v.isNull())
        return {};
    if (!v.isArray())
        fail(QStringLiteral("isn't a list"));
    if (!onlyWholeNumbers(json.rawValues.value(QStringLiteral("deltas"))))
        fail(QStringLiteral("holds a number that isn't written as a whole number"));
    const QJsonArray list = v.toArray();
    if (list.size() > kMaxReleaseDeltas)
        fail(QStringLiteral("lists more than %1 deltas").arg(kMaxReleaseDeltas));
    static const QRegularExpression hex64(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    std::vector<ReleaseDelta> out;
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (!list[i].isObject())
            fail(QStringLiteral("entry %1 isn't an object").arg(i));
        const QJsonObject o = list[i].toObject();
        ReleaseDelta d;
        // Builds are compared as 64-bit integers; a double holds them
        // exactly only up to 2^53.
        d.fromBuild = wholeNumber(o, QStringLiteral("fromBuild"), i, 1, qint64(1) << 53);
        const QString urlText = text(o, QStringLiteral("url"), i);
        d.url = QUrl(urlText, QUrl::StrictMode);
        if (!d.url.isValid() || writtenScheme(urlText) != QLatin1String("https") || d.url.host().isEmpty())
            fail(QStringLiteral("entry %1's \"url\" isn't an https address").arg(i));
        d.sha256 = text(o, QStringLiteral("sha256"), i);
        if (!hex64.match(d.sha256).hasMatch())
            fail(QStringLiteral("entry %1's \"sha256\" isn't 64 hexadecimal digits").arg(i));
        d.length = wholeNumber(o, QStringLiteral("length"), i, 1, kMaxLength);
        out.push_back(std::move(d));
    }
    return out;
}

const ReleaseDelta *deltaFromBuild(const std::vector<ReleaseDelta> &deltas, qint64 build)
{
    for (const ReleaseDelta &d : deltas) {
        if (d.fromBuild == build)
            return &d;
    }
    return nullptr;
}
