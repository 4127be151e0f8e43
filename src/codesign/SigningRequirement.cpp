#include "codesign/SigningRequirement.h"

#include <algorithm>

namespace {

bool fitsInQuotes(const QString &s)
{
    return !s.isEmpty() && std::none_of(s.begin(), s.end(), [](QChar c) { return c == u'"' || c.category() == QChar::Other_Control; });
}

} // namespace

std::optional<SigningRequirement> SigningRequirement::compile(const QString &identifier, const QString &team)
{
    if (!fitsInQuotes(identifier) || !fitsInQuotes(team))
        return std::nullopt;
    return SigningRequirement(identifier, team);
}

std::optional<QString> SigningRequirement::unmetClause(const QString &signingIdentifier, const SignerCertificate &leaf) const
{
    if (signingIdentifier != m_identifier)
        return QStringLiteral("the signing identifier is \"%1\", not \"%2\"").arg(signingIdentifier, m_identifier);
    if (!leaf.hasDeveloperIdExtension)
        return QStringLiteral("the signing certificate is not a developer ID certificate");
    if (leaf.organizationalUnit != m_team)
        return QStringLiteral("the signing certificate belongs to team \"%1\", not \"%2\"").arg(leaf.organizationalUnit, m_team);
    return std::nullopt;
}
