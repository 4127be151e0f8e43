#pragma once

#include "codesign/CmsSignature.h"

#include <QString>

#include <optional>

// The requirement a candidate must meet: anchored in our code-signing
// anchors, signed under our bundle identifier, by a developer-ID leaf
// certificate of our team.
class SigningRequirement {
public:
    // The identifiers are quoted in the requirement unescaped, so one holding
    // a quote or a control character cannot make a requirement: nothing then.
    static std::optional<SigningRequirement> compile(const QString &identifier, const QString &team);

    const QString &identifier() const { return m_identifier; }
    const QString &team() const { return m_team; }

    // The first clause the signature does not meet, said in words; nothing
    // when all hold. The anchor clause is judged by the CMS verification.
    std::optional<QString> unmetClause(const QString &signingIdentifier, const SignerCertificate &leaf) const;

private:
    SigningRequirement(QString identifier, QString team) : m_identifier(std::move(identifier)), m_team(std::move(team)) {}
    QString m_identifier;
    QString m_team;
};
