#include "update/SigningFailure.h"

UpdaterFailure signingFailure(const CodeSigningError &error)
{
    switch (error.kind()) {
    case CodeSigningError::Kind::NoBundleIdentifier:
        return UpdaterFailure(QStringLiteral("This copy of Ferrowhistle has no bundle ID."));
    case CodeSigningError::Kind::NoTeamIdentifier:
        return UpdaterFailure(QStringLiteral("This copy of Ferrowhistle isn't signed with a team ID, so it can't verify updates."));
    case CodeSigningError::Kind::Unreadable:
        return UpdaterFailure(QStringLiteral("The download's signature couldn't be read."));
    case CodeSigningError::Kind::RequirementUnmet:
        break;
    }
    const QString why = error.reason().isEmpty() ? QStringLiteral("unknown error") : error.reason();
    return UpdaterFailure(QStringLiteral("The download isn't signed by Ferrowhistle's developer (") + why
                          + QStringLiteral("), so it wasn't installed."));
}
