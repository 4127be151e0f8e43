#include "release/VersionRules.h"

#include "platform/Bundle.h"

#include <QFileInfo>

#include <limits>

#include <sys/utsname.h>

namespace VersionRules {

std::optional<qint64> parseInteger(QStringView text)
{
    qsizetype i = 0;
    bool negative = false;
    if (!text.isEmpty() && (text[0] == u'+' || text[0] == u'-')) {
        negative = text[0] == u'-';
        i = 1;
    }
    if (i == text.size())
        return std::nullopt;
    // Accumulate towards the negative side, which holds one more value.
    qint64 value = 0;
    constexpr qint64 min = std::numeric_limits<qint64>::min();
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const int digit = c - u'0';
        if (value < (min + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    if (value == min)
        return std::nullopt;
    return -value;
}

SystemVersion versionFromText(QStringView text)
{
    qint64 parts[3] = {0, 0, 0};
    int kept = 0;
    for (const QStringView piece : text.split(u'.', Qt::SkipEmptyParts)) {
        if (kept == 3)
            break;
        if (const auto value = parseInteger(piece))
            parts[kept++] = *value;
    }
    return {parts[0], parts[1], parts[2]};
}

std::optional<SystemVersion> parseMinimumSystemVersion(QStringView text)
{
    const QList<QStringView> pieces = text.split(u'.');
    if (pieces.size() > 3)
        return std::nullopt;
    for (const QStringView piece : pieces) {
        // Digits only: versionFromText would also take a sign.
        if (piece.isEmpty() || piece[0] < u'0' || piece[0] > u'9' || !parseInteger(piece))
            return std::nullopt;
    }
    return versionFromText(text);
}

SystemVersion versionFromKernelRelease(QStringView release)
{
    qsizetype end = 0;
    while (end < release.size() && ((release[end] >= u'0' && release[end] <= u'9') || release[end] == u'.'))
        ++end;
    return versionFromText(release.left(end));
}

SystemVersion runningSystemVersion()
{
    utsname name{};
    if (::uname(&name) != 0)
        return {};
    return versionFromKernelRelease(QString::fromLatin1(name.release));
}

qint64 buildOfBundle(const Bundle &bundle)
{
    const auto text = bundle.infoString(QStringLiteral("CFBundleVersion"));
    if (!text)
        return 0;
    return parseInteger(*text).value_or(0);
}

bool isCompatible(const Release &release, const SystemVersion &running)
{
    if (!release.minimumSystemVersion)
        return true;
    return running >= versionFromText(*release.minimumSystemVersion);
}

bool isOfferable(const Release &release, qint64 currentBuild, const SystemVersion &running)
{
    return release.build > currentBuild && isCompatible(release, running);
}

bool isNewerBuildOfSameApp(const Bundle &candidate, const QString &runningIdentifier, qint64 currentBuild)
{
    if (!candidate.isAppBundle() || !QFileInfo(candidate.infoPlistPath()).isFile())
        return false;
    if (candidate.identifier() != runningIdentifier)
        return false;
    const auto text = candidate.infoString(QStringLiteral("CFBundleVersion"));
    if (!text)
        return false;
    const auto build = parseInteger(*text);
    return build && *build > currentBuild;
}

} // namespace VersionRules
