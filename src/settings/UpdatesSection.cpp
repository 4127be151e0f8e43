#include "settings/UpdatesSection.h"

#include "settings/DateTimeText.h"

using Kind = UpdaterInterface::State::Kind;

bool UpdatesSection::isBusy(const UpdaterInterface::State &state)
{
    return state == UpdaterInterface::State::checking() || state.kind() == Kind::installing;
}

QString UpdatesSection::lastCheckText(const std::optional<QDateTime> &lastCheck, const DateText &dateText)
{
    if (!lastCheck)
        return tr("Not checked yet.");
    return tr("Last checked %1.").arg(dateText(*lastCheck));
}

QString UpdatesSection::rolledBackText(const QString &version, const Inserted &inserted)
{
    return tr("Ferrowhistle %1 didn't start on this computer and was rolled back.").arg(inserted ? inserted(version) : version);
}

QString UpdatesSection::statusText(const Input &input, const DateText &dateText, const Inserted &inserted)
{
    // Until a newer build is offered, a resting state says why the update
    // the user may have seen go by is not there.
    const bool resting = input.state.kind() == Kind::idle || input.state.kind() == Kind::upToDate;
    if (resting && input.rolledBackVersion)
        return rolledBackText(*input.rolledBackVersion, inserted);
    switch (input.state.kind()) {
    case Kind::available:
        return tr("It's checked as signed and notarized by Ferrowhistle's developer before anything is replaced.");
    case Kind::installing:
    case Kind::failed:
        return input.state.text();
    case Kind::checking:
        return tr("Checking\u2026");
    case Kind::idle:
        if (input.lastError)
            return tr("The last check didn't work: %1 It tries again within the hour.").arg(inserted ? inserted(*input.lastError) : *input.lastError);
        return lastCheckText(input.lastCheck, dateText);
    case Kind::upToDate:
        return tr("You have the latest version.") + QLatin1Char(' ') + lastCheckText(input.lastCheck, dateText);
    }
    return {};
}

UpdatesRows UpdatesSection::rows(const Input &input, const DateText &dateText, const Inserted &inserted)
{
    UpdatesRows rows;
    if (const Release *release = input.state.release()) {
        rows.headline = tr("Ferrowhistle %1 is available").arg(inserted ? inserted(release->version) : release->version);
        if (release->notes && !release->notes->isEmpty())
            rows.notes = *release->notes;
        rows.installRelease = *release;
    }
    rows.busy = isBusy(input.state);
    rows.statusText = statusText(input, dateText, inserted);
    rows.statusIsFailure = input.state.kind() == Kind::failed;
    rows.automatic = input.automatic;
    if (input.keptCopy) {
        const QString version = inserted ? inserted(input.keptCopy->version) : input.keptCopy->version;
        rows.keptText = tr("Version %1 (%2) is kept.").arg(version).arg(input.keptCopy->build);
        rows.revertTitle = tr("Revert to %1").arg(version);
    }
    return rows;
}

UpdatesRows UpdatesSection::rows(const UpdaterInterface &updater, const Inserted &inserted)
{
    const Input input{updater.state(),      updater.lastError(),         updater.lastCheck(),
                      updater.automatic(),  updater.rolledBackVersion(), updater.keptCopy()};
    // The locale is read at every build, so a changed environment shows at once.
    const QByteArray locale = userTimeLocale();
    return rows(
        input, [&locale](const QDateTime &when) { return abbreviatedDateShortTime(when, locale); }, inserted);
}
