#pragma once

#include <QString>

#include <chrono>
#include <optional>

typedef struct sd_bus sd_bus;

// The start watch's view of the session bus: which process owns the app's
// bus name, whether it runs the program at the path, and what it says of
// itself (Build, BundlePath; answered once its launch has settled). Blocking
// calls with a limit each: the watch runs without an event loop. The watch
// can also hold the name itself, so that nothing starts from the path while
// it puts the kept copy back.
class RunningCopy {
public:
    struct Answer {
        enum Kind {
            NoOwner,      // nobody owns the name
            OtherProgram, // the owner runs another program (or can't be told)
            NotAnswered,  // the owner runs the program but hasn't said which copy it is (yet)
            Answered,     // the owner runs the program and said so
        };
        Kind kind = NoOwner;
        qint64 pid = 0;
        qint64 build = 0;
        QString bundlePath;
        QString detail; // why it isn't Answered, for the journal
    };

    // Connects to the session bus the environment names; without one,
    // connected() is false and problem() says why.
    RunningCopy();
    ~RunningCopy();
    RunningCopy(const RunningCopy &) = delete;
    RunningCopy &operator=(const RunningCopy &) = delete;

    bool connected() const { return m_bus != nullptr; }
    const QString &problem() const { return m_problem; }

    // Asks the owner of the app's bus name. program is the path of the
    // program the owner must run (links resolved as the kernel reports it).
    Answer ask(const QString &program, std::chrono::milliseconds limit = std::chrono::seconds(2));

    // Puts this connection in the name's queue, taking nothing from its
    // owner: it becomes the owner once the owner has gone, with no moment
    // between in which a new start could take it. Returns the reason when it
    // could not.
    std::optional<QString> holdName();
    // Lets go of the name (or the place in its queue) and of the bus, so
    // that a start that handed its command line to this connection meanwhile
    // gets its answer (an error) at once.
    void release();
    // Whether this connection owns the name now.
    bool ownsName();

private:
    sd_bus *m_bus = nullptr;
    QString m_problem;
};
