#pragma once

#include "release/Release.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>
#include <variant>

// What the rest of the app sees of the updater: its state and the commands
// of the tray menu, the settings window and the automation actions. The updater itself (network, signatures, archives) lives
// in a module of its own that the app loads once its launch has settled (see
// UpdaterModule), so that none of that is loaded before the first card.
//
// Observers connect to changed(), emitted after every assignment to state,
// lastError, lastCheck or automatic, also when the new value equals the old
// one, and read the properties then. willChange() is emitted before the
// assignment, for an observer that wants the old value.
class UpdaterInterface : public QObject {
    Q_OBJECT
public:
    using Release = ::Release;

    class State {
    public:
        enum class Kind { idle, checking, upToDate, available, installing, failed };

        static State idle() { return State(Kind::idle, {}); }
        static State checking() { return State(Kind::checking, {}); }
        static State upToDate() { return State(Kind::upToDate, {}); }
        static State available(Release release) { return State(Kind::available, std::move(release)); }
        // text: the step of the install shown to the user.
        static State installing(QString text) { return State(Kind::installing, std::move(text)); }
        // text: the error's localized description.
        static State failed(QString text) { return State(Kind::failed, std::move(text)); }

        Kind kind() const { return m_kind; }
        // The offered release when available, else none.
        const Release *release() const { return std::get_if<Release>(&m_payload); }
        // The text carried by installing and failed, else empty.
        QString text() const
        {
            const QString *t = std::get_if<QString>(&m_payload);
            return t ? *t : QString();
        }
        bool operator==(const State &) const = default;

    private:
        State(Kind kind, std::variant<std::monostate, Release, QString> payload)
            : m_kind(kind), m_payload(std::move(payload))
        {
        }
        Kind m_kind;
        std::variant<std::monostate, Release, QString> m_payload;
    };

    // The copy an update replaced, kept beside the installed one.
    struct KeptCopy {
        QString version;
        qint64 build = 0;
        bool operator==(const KeptCopy &) const = default;
    };

    virtual const State &state() const = 0;
    virtual const std::optional<QString> &lastError() const = 0;
    virtual const std::optional<QDateTime> &lastCheck() const = 0;
    virtual bool automatic() const = 0;
    // Bound to "Check for updates daily"; stored on every assignment.
    virtual void setAutomatic(bool automatic) = 0;
    // The release carried by state when it is available, else none.
    virtual std::optional<Release> availableRelease() const = 0;

    // A check of the feed; never throws.
    virtual QCoro::Task<> check(bool userInitiated) = 0;
    // Starts the loop of automatic checks unless it already runs.
    virtual void startAutomaticChecks() = 0;
    // Downloads, checks and installs the release, then relaunches.
    virtual void install(const Release &release) = 0;

    // The kept previous copy, while there is one older than this build.
    virtual std::optional<KeptCopy> keptCopy() const = 0;
    // Checks the kept copy, puts it back in place of this one, and
    // relaunches; ends in failed with the reason otherwise.
    virtual void revert() = 0;
    // The version of the last update that didn't start here and was put
    // back, until a newer build is offered.
    virtual std::optional<QString> rolledBackVersion() const = 0;

Q_SIGNALS:
    void willChange();
    void changed();

protected:
    explicit UpdaterInterface(QObject *parent = nullptr) : QObject(parent) {}
};
