// The updates section's rows as plain data, across the updater's states, and
// the last-check date in the user's locale.
#include "desktop/DisplayText.h"
#include "settings/DateTimeText.h"
#include "settings/UpdatesSection.h"
#include "update/Updater.h"

#include <QTest>

using State = Updater::State;
using Input = UpdatesSection::Input;

namespace {

const QDateTime kWhen = QDateTime::fromString(QStringLiteral("2026-12-08T14:05:09Z"), Qt::ISODate);
// A stand-in for the locale's formatting, so the sentences are checked exactly.
const UpdatesSection::DateText kDate = [](const QDateTime &when) {
    return when.toUTC().toString(QStringLiteral("d MMM yyyy HH:mm"));
};

Release release(std::optional<QString> notes)
{
    Release r;
    r.version = QStringLiteral("2.0");
    r.build = 50;
    r.url = QUrl(QStringLiteral("https://dl.example.org/F.zip"));
    r.notes = std::move(notes);
    return r;
}

UpdatesRows rowsFor(State state, std::optional<QString> lastError = {}, std::optional<QDateTime> lastCheck = {},
                    bool automatic = true)
{
    return UpdatesSection::rows(Input{std::move(state), std::move(lastError), std::move(lastCheck), automatic}, kDate);
}

} // namespace

class tst_UpdatesSection : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // After an update that didn't start was put back, the resting states say
    // so; a check in progress, an offer or a failure of its own come first.
    void aRollbackIsExplainedUntilSomethingNewer()
    {
        const QString sentence = QStringLiteral("Ferrowhistle 2.1 didn't start on this computer and was rolled back.");
        for (const State &resting : {State::idle(), State::upToDate()}) {
            Input input{resting, QStringLiteral("E"), kWhen, true};
            input.rolledBackVersion = QStringLiteral("2.1");
            const UpdatesRows rows = UpdatesSection::rows(input, kDate);
            QCOMPARE(rows.statusText, sentence);
            QVERIFY(!rows.statusIsFailure);
        }
        Input checking{State::checking(), {}, kWhen, true};
        checking.rolledBackVersion = QStringLiteral("2.1");
        QCOMPARE(UpdatesSection::rows(checking, kDate).statusText, QStringLiteral("Checking\u2026"));
        Input offered{State::available(release({})), {}, kWhen, true};
        offered.rolledBackVersion = QStringLiteral("2.1");
        QVERIFY(UpdatesSection::rows(offered, kDate).statusText.startsWith(QStringLiteral("It's checked as signed")));
    }

    // The kept copy's row and its button, only while one is kept; the
    // version is inserted as text from outside.
    void aKeptCopyOffersItsRevert()
    {
        QVERIFY(!rowsFor(State::idle()).keptText && !rowsFor(State::idle()).revertTitle);
        Input input{State::upToDate(), {}, kWhen, true};
        input.keptCopy = UpdaterInterface::KeptCopy{QStringLiteral("1.9"), 48};
        const UpdatesRows rows =
            UpdatesSection::rows(input, kDate, [](const QString &text) { return QLatin1Char('<') + text + QLatin1Char('>'); });
        QCOMPARE(rows.keptText, QStringLiteral("Version <1.9> (48) is kept."));
        QCOMPARE(rows.revertTitle, QStringLiteral("Revert to <1.9>"));
    }

    void restingStatesExplainTheLastCheck()
    {
        const UpdatesRows fresh = rowsFor(State::idle(), {}, {}, false);
        QCOMPARE(fresh.statusText, QStringLiteral("Not checked yet."));
        QVERIFY(!fresh.headline && !fresh.notes && !fresh.installRelease && !fresh.busy && !fresh.statusIsFailure);
        QVERIFY(fresh.checkNowEnabled());
        QVERIFY(!fresh.automatic);

        QCOMPARE(rowsFor(State::idle(), {}, kWhen).statusText, QStringLiteral("Last checked 8 Dec 2026 14:05."));
        QCOMPARE(rowsFor(State::upToDate(), {}, kWhen).statusText,
                 QStringLiteral("You have the latest version. Last checked 8 Dec 2026 14:05."));
        QCOMPARE(rowsFor(State::upToDate()).statusText, QStringLiteral("You have the latest version. Not checked yet."));
        // lastError counts only while idle.
        QCOMPARE(rowsFor(State::upToDate(), QStringLiteral("E"), kWhen).statusText,
                 QStringLiteral("You have the latest version. Last checked 8 Dec 2026 14:05."));
    }

    void aFailedAutomaticCheckIsExplainedQuietly()
    {
        const UpdatesRows rows = rowsFor(State::idle(), QStringLiteral("The feed is not valid JSON."), kWhen);
        QCOMPARE(rows.statusText, QStringLiteral("The last check didn't work: The feed is not valid JSON. "
                                                 "It tries again within the hour."));
        QVERIFY(!rows.statusIsFailure); // secondary colour, not orange
        // An empty error still makes the sentence, with the two blanks meeting.
        QCOMPARE(rowsFor(State::idle(), QString()).statusText,
                 QStringLiteral("The last check didn't work:  It tries again within the hour."));
        // Error text is taken as written: no second substitution.
        QCOMPARE(rowsFor(State::idle(), QStringLiteral("%1 %2")).statusText,
                 QStringLiteral("The last check didn't work: %1 %2 It tries again within the hour."));
        // Right-to-left text set into the sentence is kept to itself.
        const Input rtl{State::idle(), QStringLiteral("\u202Eboom"), {}, true};
        QCOMPARE(UpdatesSection::rows(rtl, kDate, &isolatedForDisplay).statusText,
                 QStringLiteral("The last check didn't work: \u2068\u202Eboom\u2069 It tries again within the hour."));
    }

    void failedShowsTheTextAloneInOrange()
    {
        const UpdatesRows rows = rowsFor(State::failed(QStringLiteral("The download was cut short.")),
                                         QStringLiteral("older"), kWhen);
        QCOMPARE(rows.statusText, QStringLiteral("The download was cut short."));
        QVERIFY(rows.statusIsFailure && !rows.busy && rows.checkNowEnabled() && !rows.installRelease);
    }

    void busyStatesDisableCheckNow()
    {
        const UpdatesRows checking = rowsFor(State::checking(), QStringLiteral("E"), kWhen);
        QCOMPARE(checking.statusText, QStringLiteral("Checking…"));
        QVERIFY(checking.busy && !checking.checkNowEnabled() && !checking.installRelease && !checking.headline);

        const UpdatesRows installing = rowsFor(State::installing(QStringLiteral("Downloading the update…")));
        QCOMPARE(installing.statusText, QStringLiteral("Downloading the update…"));
        QVERIFY(installing.busy && !installing.checkNowEnabled() && !installing.headline && !installing.notes);
        QVERIFY(UpdatesSection::isBusy(State::installing(QString())));
    }

    void anOfferShowsItsVersionNotesAndInstallButton()
    {
        const UpdatesRows rows = rowsFor(State::available(release(QStringLiteral("Faster cards.\nFewer bugs."))));
        QCOMPARE(rows.headline, QStringLiteral("Ferrowhistle 2.0 is available"));
        QCOMPARE(rows.notes, QStringLiteral("Faster cards.\nFewer bugs."));
        QCOMPARE(rows.installRelease, release(QStringLiteral("Faster cards.\nFewer bugs.")));
        QCOMPARE(rows.statusText, QStringLiteral("It's checked as signed and notarized by Ferrowhistle's developer "
                                                 "before anything is replaced."));
        QVERIFY(!rows.busy && rows.checkNowEnabled() && !rows.statusIsFailure);
        // No notes, or empty ones: no notes row.
        QVERIFY(!rowsFor(State::available(release(std::nullopt))).notes);
        QVERIFY(!rowsFor(State::available(release(QString()))).notes);
        QVERIFY(rowsFor(State::available(release(QString()))).headline);
        Release hebrew = release(std::nullopt);
        hebrew.version = QStringLiteral("\u05D2\u05E8\u05E1\u05D4 2");
        QCOMPARE(UpdatesSection::rows(Input{State::available(hebrew), {}, {}, true}, kDate, &isolatedForDisplay).headline,
                 QStringLiteral("Ferrowhistle \u2068\u05D2\u05E8\u05E1\u05D4 2\u2069 is available"));
        // Plain versions are left alone.
        QCOMPARE(UpdatesSection::rows(Input{State::available(release(std::nullopt)), {}, {}, true}, kDate, &isolatedForDisplay).headline,
                 QStringLiteral("Ferrowhistle 2.0 is available"));
    }

    void lastCheckIsWrittenInTheUsersLocale()
    {
        // The styles are fixed (abbreviated month, hours and minutes); the
        // words and order come from ICU's data for the locale.
        const QString us = abbreviatedDateShortTime(kWhen, "en_US", "UTC");
        QVERIFY2(us.startsWith(QStringLiteral("Dec 8, 2026")) && us.contains(QStringLiteral("2:05")) && !us.contains(u'9'),
                 qPrintable(us));
        const QString de = abbreviatedDateShortTime(kWhen, "de_DE", "UTC");
        QVERIFY2(de.startsWith(QStringLiteral("08.12.2026")) && de.contains(QStringLiteral("14:05")), qPrintable(de));
        QVERIFY(abbreviatedDateShortTime(kWhen, "en_US", "Asia/Tokyo").contains(QStringLiteral("11:05")));

        const auto localeFrom = [](const char *all, const char *time, const char *lang) {
            qputenv("LC_ALL", all);
            qputenv("LC_TIME", time);
            qputenv("LANG", lang);
            return userTimeLocale();
        };
        QCOMPARE(localeFrom("", "de_DE.UTF-8", "en_GB.UTF-8"), QByteArray("de_DE"));
        QCOMPARE(localeFrom("fr_FR.UTF-8@euro", "de_DE.UTF-8", ""), QByteArray("fr_FR"));
        QCOMPARE(localeFrom("", "", "sv_SE@euro"), QByteArray("sv_SE"));
        QCOMPARE(localeFrom("", "", "C.UTF-8"), QByteArray("en_US_POSIX"));
        QCOMPARE(localeFrom("", "", ""), QByteArray("en_US_POSIX"));
        // The real section goes through all of it.
        localeFrom("", "de_DE.UTF-8", "");
        qputenv("TZ", "UTC");
        QVERIFY(UpdatesSection::lastCheckText(kWhen, [](const QDateTime &w) { return abbreviatedDateShortTime(w); })
                    .startsWith(QStringLiteral("Last checked 08.12.2026")));
    }
};

QTEST_GUILESS_MAIN(tst_UpdatesSection)
#include "tst_UpdatesSection.moc"
