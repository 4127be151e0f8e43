#pragma once

#include <QString>

#include <functional>

// Puts `replacement` at `target` so that, whatever moment the process dies,
// the target path holds one whole entry, the old one or the new one. Both
// paths must be on one file system (the replacement is staged beside the
// target).
//
// The exchange (renameat2 RENAME_EXCHANGE) leaves the old entry where the
// replacement was. Where the file system refuses an exchange, the old entry
// is moved aside to `asidePath`, the replacement moved in, and the old entry
// moved back if that fails; the moment between the two moves is the only one
// at which the target path is empty. `asidePath` must therefore be a name
// that nothing removes on its own (no sweep, no clean-up of a failed run):
// when the process dies between the moves, or the move back fails, it holds
// the only copy of the old entry.
struct AtomicSwap {
    enum class Step { BeforeExchange, AfterExchange, BeforeMoveAside, BeforeMoveIn, AfterMoveIn };
    // Called before each step; a test throws or stops the process there.
    using StepHook = std::function<void(Step)>;

    // Where the old entry is now (to be removed by the caller), and whether
    // the fallback was used.
    struct Result {
        QString oldEntryPath;
        bool usedFallback = false;
    };

    // Throws SwapError with the system's description when nothing could be
    // swapped; the target then still holds the old entry.
    static Result replace(const QString &target, const QString &replacement, const QString &asidePath,
                          const StepHook &hook = {});
    // For tests: whether to skip the exchange and use the fallback.
    static void forceFallbackForTesting(bool force);
};

class SwapError : public std::runtime_error {
public:
    explicit SwapError(const QString &description, const QString &keptAt = QString())
        : std::runtime_error(description.toStdString()), m_description(description), m_keptAt(keptAt) {}
    const QString &description() const { return m_description; }
    // Set when the target is empty because the old entry could not be moved
    // back: where it is now. The caller must leave it there.
    const QString &keptAt() const { return m_keptAt; }

private:
    QString m_description;
    QString m_keptAt;
};
