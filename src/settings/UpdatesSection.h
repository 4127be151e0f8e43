#pragma once

#include "update/UpdaterInterface.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

// What the updates section shows, as plain data, worked out from the
// updater's published properties on every rebuild (nothing is kept between
// builds). The settings window turns it into widgets.
struct UpdatesRows {
    std::optional<QString> headline;        // "Ferrowhistle 2.0 is available"
    std::optional<QString> notes;           // the release's notes, when not empty
    std::optional<Release> installRelease;  // "Install and Relaunch" offers this
    bool busy = false;                      // progress indicator shown, Check Now disabled
    QString statusText;
    bool statusIsFailure = false;           // shown in orange
    bool automatic = true;                  // "Check for updates daily"
    std::optional<QString> keptText;        // "Version 1.0 (48) is kept.", under the version line
    std::optional<QString> revertTitle;     // "Revert to 1.0"

    bool checkNowEnabled() const { return !busy; }
    bool operator==(const UpdatesRows &) const = default;
};

class UpdatesSection {
    Q_DECLARE_TR_FUNCTIONS(UpdatesSection)
public:
    // The updater's published properties, as the section reads them.
    struct Input {
        UpdaterInterface::State state = UpdaterInterface::State::idle();
        std::optional<QString> lastError;
        std::optional<QDateTime> lastCheck;
        bool automatic = true;
        // The version of an update that didn't start and was put back.
        std::optional<QString> rolledBackVersion = std::nullopt;
        std::optional<UpdaterInterface::KeptCopy> keptCopy = std::nullopt;
    };
    // Writes a point in time for lastCheckText; the real one is
    // abbreviatedDateShortTime in the user's locale.
    using DateText = std::function<QString(const QDateTime &)>;
    // Applied to text from outside (a version, an error) where it is set
    // into a sentence of ours; the window keeps such text from reordering
    // the words around it. Empty: inserted as it is.
    using Inserted = std::function<QString(const QString &)>;

    static UpdatesRows rows(const Input &input, const DateText &dateText, const Inserted &inserted = {});
    static UpdatesRows rows(const UpdaterInterface &updater, const Inserted &inserted = {});

    static QString headerTitle() { return tr("Updates"); }
    static bool isBusy(const UpdaterInterface::State &state);
    static QString lastCheckText(const std::optional<QDateTime> &lastCheck, const DateText &dateText);
    static QString statusText(const Input &input, const DateText &dateText, const Inserted &inserted = {});
    static QString rolledBackText(const QString &version, const Inserted &inserted = {});
};
