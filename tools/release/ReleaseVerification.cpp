#include "ReleaseVerification.h"

#include "codesign/CodeSigning.h"
#include "codesign/Notarization.h"
#include "platform/Bundle.h"

namespace {

[[noreturn]] void fail(const QString &line)
{
    throw ReleaseVerificationError(line.toStdString());
}

} // namespace

QString verifyRelease(const QString &candidatePath, const QString &runningPath)
{
    const bool against = !runningPath.isEmpty();
    const Bundle running = Bundle::atPath(against ? runningPath : candidatePath);
    // With one copy there is nothing to tell apart; with two, say which.
    const QString candidate = against ? candidatePath + QStringLiteral(" (the new copy)") : candidatePath;
    const QString checker = against ? runningPath + QStringLiteral(" (the copy checking it)") : candidatePath;

    QString team;
    try {
        team = teamIdentifier(running);
    } catch (const CodeSigningError &e) {
        fail(QStringLiteral("%1: can't check updates: %2").arg(checker, e.reason()));
    }
    try {
        verifySignature(candidatePath, running);
    } catch (const CodeSigningError &e) {
        const bool checkerAtFault = e.kind() == CodeSigningError::Kind::NoBundleIdentifier
                                    || e.kind() == CodeSigningError::Kind::NoTeamIdentifier;
        if (checkerAtFault)
            fail(QStringLiteral("%1: can't check updates: %2").arg(checker, e.reason()));
        fail(QStringLiteral("%1: signature not accepted%2: %3")
                 .arg(candidate, against ? QStringLiteral(" by ") + runningPath : QString(), e.reason()));
    }
    const Assessment a = assessNotarization(candidatePath, running);
    if (a.outcome == Assessment::NoNotaryAnchors)
        fail(QStringLiteral("%1: can't check notarization: %2").arg(checker, a.reason));
    if (a.outcome != Assessment::Accepted)
        fail(QStringLiteral("%1: signature valid, but not accepted as notarized: %2").arg(candidate, a.reason));
    return team;
}
