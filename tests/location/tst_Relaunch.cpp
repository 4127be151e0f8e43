// The relaunch waits for the old process to end, however it ends and whoever
// its parent is, then starts the bundle's program with the path as it is;
// after an update the kept copy's watch runs first, and the bundle is still
// started when the watch started nothing.
//
// The app that relaunches is this test program itself, started with
// kAppOption (see main): it relaunches and exits, as the real app does.
#include "location/Relaunch.h"
#include "platform/UniqueFd.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr char kAppOption[] = "--relaunching-app";
// How long anything here may take before the test gives up on it: a bound
// on a hang, not a measure of speed.
constexpr int kPatienceMs = 60000;

void writeProgram(const QString &path, const QByteArray &script)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(file.write("#!/bin/sh\n" + script) > 0);
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0755), 0);
}

// A bundle whose program appends one line to FW_TEST_LOG: "bundle", the
// path it was started as, and the state the old process was in by then
// (Z for exited but not reaped, "gone" once reaped; anything else would
// mean it was started too early).
void makeBundle(const QString &bundle)
{
    writeProgram(bundle + QStringLiteral("/Contents/bin/Ferrowhistle"),
                 "state=$(sed -n 's/.*) \\(.\\) .*/\\1/p' \"/proc/$FW_TEST_OLD_PID/stat\" 2>/dev/null)\n"
                 "printf 'bundle\\t%s\\t%s\\n' \"$0\" \"${state:-gone}\" >> \"$FW_TEST_LOG\"\n");
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

pid_t spawn(const QList<QByteArray> &arguments, posix_spawn_file_actions_t *actions)
{
    std::vector<char *> argv;
    for (const QByteArray &a : arguments)
        argv.push_back(const_cast<char *>(a.constData()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0)
        return 0;
    return pid;
}

// The app relaunching, as this program started with kAppOption, its
// standard output on a pipe: the shell, the watch and the bundle's program
// inherit it, so its end of file means that all of them have ended.
struct AppRun {
    pid_t pid = 0;
    UniqueFd output = UniqueFd(-1);
};

AppRun startApp(const QStringList &arguments)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return AppRun{};
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    QList<QByteArray> argv{QFile::encodeName(QCoreApplication::applicationFilePath()), kAppOption};
    for (const QString &a : arguments)
        argv << QFile::encodeName(a);
    const pid_t pid = spawn(argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    return {pid, pid ? std::move(readEnd) : UniqueFd()};
}

// Everything the pipe carried, once every holder of its write end has gone;
// nothing when that has not happened within the patience.
std::optional<QByteArray> readToEnd(int fd)
{
    QByteArray all;
    const QDeadlineTimer deadline(kPatienceMs);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return all;
        all.append(buffer, n);
    }
}

void reap(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// As the app: relaunch (plain BUNDLE, or watched BUNDLE PREVIOUS), start a
// long-lived program of its own afterwards and print its process id, then
// exit. FW_TEST_OLD_PID tells the bundle's program which process was old.
int runAsApp(int argc, char **argv)
{
    qputenv("FW_TEST_OLD_PID", QByteArray::number(::getpid()));
    const QByteArray kind = argc > 2 ? argv[2] : "";
    if (argc < 4 || (kind != "plain" && kind != "watched") || (kind == "watched" && argc < 5))
        return 2;
    Relauncher relauncher;
    relauncher.terminate = [] {
        // Started after the relaunch and outliving the app: it must not
        // hold up the relaunch.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const pid_t lingering = spawn({"/bin/sleep", "600"}, &actions);
        posix_spawn_file_actions_destroy(&actions);
        std::printf("lingering %d\n", int(lingering));
        std::fflush(stdout);
    };
    try {
        const QString bundle = QFile::decodeName(argv[3]);
        if (kind == "plain")
            relauncher.relaunch(bundle);
        else
            relauncher.relaunchWatched(bundle, QFile::decodeName(argv[4]), 501, 60000);
    } catch (const RelaunchError &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

void endLingering(const QByteArray &output)
{
    for (const QByteArray &line : output.split('\n'))
        if (line.startsWith("lingering "))
            if (const pid_t pid = line.mid(10).toInt(); pid > 0) {
                ::kill(pid, SIGKILL);
            }
}

} // namespace

class tst_Relaunch : public QObject {
    Q_OBJECT
    TestEnvironment m_env;
    int m_n = 0;
    QString m_log;

    QString freshFolder()
    {
        const QString folder = m_env.root() + QStringLiteral("/run %1").arg(++m_n);
        m_log = folder + QStringLiteral("/log");
        QDir().mkpath(folder);
        qputenv("FW_TEST_LOG", QFile::encodeName(m_log));
        return folder;
    }

private Q_SLOTS:
    void startsTheBundleOnceTheAppHasExited();
    void startsTheBundleWhenTheAppIsLeftUnreaped();
    void watchedRelaunchAlwaysStartsSomething_data();
    void watchedRelaunchAlwaysStartsSomething();
};

void tst_Relaunch::startsTheBundleOnceTheAppHasExited()
{
    // The path travels as $0: spaces, quotes, "$" and backquotes in it reach
    // the new process unchanged. A program the app started after relaunching
    // lives on, and the bundle is started all the same, after the app ended.
    const QString folder = freshFolder() + QStringLiteral("/My Apps $HOME 'q' \"d\" `x`");
    const QString bundle = folder + QStringLiteral("/Ferrowhistle $1.app");
    makeBundle(bundle);

    AppRun app = startApp({QStringLiteral("plain"), bundle});
    QVERIFY(app.pid > 0);
    reap(app.pid);
    const std::optional<QByteArray> output = readToEnd(app.output.get());
    endLingering(output.value_or(QByteArray()));
    QVERIFY2(output, "the relaunch had not ended");
    QCOMPARE(readLines(m_log), QStringList{QStringLiteral("bundle\t%1/Contents/bin/Ferrowhistle\tgone").arg(bundle)});
}

void tst_Relaunch::startsTheBundleWhenTheAppIsLeftUnreaped()
{
    // The app's parent starts it and never waits for it: once it exits it
    // stays a zombie, which still answers to its process id.
    const QString bundle = freshFolder() + QStringLiteral("/Ferrowhistle.app");
    makeBundle(bundle);
    const QString output = m_log + QStringLiteral("-app");
    const QString shellLine = QStringLiteral("\"$0\" %1 plain \"$1\" >\"$2\" & exec /bin/sleep 600").arg(kAppOption);
    const pid_t parent = spawn({"/bin/sh", "-c", shellLine.toUtf8(), QFile::encodeName(QCoreApplication::applicationFilePath()),
                                QFile::encodeName(bundle), QFile::encodeName(output)},
                               nullptr);
    QVERIFY(parent > 0);
    const struct EndParent {
        pid_t pid;
        QString output;
        ~EndParent()
        {
            ::kill(pid, SIGKILL);
            reap(pid);
            QFile file(output);
            if (file.open(QIODevice::ReadOnly))
                endLingering(file.readAll());
        }
    } endParent{parent, output};

    QTRY_VERIFY_WITH_TIMEOUT(!readLines(m_log).isEmpty(), kPatienceMs);
    QCOMPARE(readLines(m_log), QStringList{QStringLiteral("bundle\t%1/Contents/bin/Ferrowhistle\tZ").arg(bundle)});
}

void tst_Relaunch::watchedRelaunchAlwaysStartsSomething_data()
{
    QTest::addColumn<bool>("kept");
    QTest::addColumn<int>("watchStatus");
    QTest::addColumn<QStringList>("started");
    const QStringList watch{QStringLiteral("watch")};
    const QStringList both{QStringLiteral("watch"), QStringLiteral("bundle")};
    // The watch started a copy itself: nothing more.
    QTest::newRow("watch started a copy") << true << 0 << watch;
    // A command line it refused, or nothing it could start or put back.
    QTest::newRow("watch refused its command line") << true << 2 << both;
    QTest::newRow("watch started nothing") << true << 1 << both;
    QTest::newRow("watch died") << true << 137 << both;
    QTest::newRow("no kept copy") << false << 0 << QStringList{QStringLiteral("bundle")};
}

void tst_Relaunch::watchedRelaunchAlwaysStartsSomething()
{
    QFETCH(bool, kept);
    QFETCH(int, watchStatus);
    QFETCH(QStringList, started);
    const QString folder = freshFolder();
    const QString bundle = folder + QStringLiteral("/Ferrowhistle \"$0\".app");
    const QString previous = folder + QStringLiteral("/.Ferrowhistle-previous.app");
    makeBundle(bundle);
    if (kept)
        writeProgram(previous + QStringLiteral("/Contents/bin/Ferrowhistle"),
                     "printf 'watch\\t%s\\t%s\\t%s\\t%s\\n' \"$1\" \"$2\" \"$3\" \"$4\" >> \"$FW_TEST_LOG\"\n"
                     "exit " + QByteArray::number(watchStatus) + "\n");

    AppRun app = startApp({QStringLiteral("watched"), bundle, previous});
    QVERIFY(app.pid > 0);
    reap(app.pid);
    const std::optional<QByteArray> output = readToEnd(app.output.get());
    endLingering(output.value_or(QByteArray()));
    QVERIFY2(output, "the relaunch had not ended");

    const QStringList lines = readLines(m_log);
    QStringList firstWords;
    for (const QString &line : lines)
        firstWords << line.section(u'\t', 0, 0);
    QCOMPARE(firstWords, started);
    for (const QString &line : lines) {
        if (line.startsWith(u"watch"))
            QCOMPARE(line, QStringLiteral("watch\t--watch-start\t%1\t501\t60000").arg(bundle));
        else
            QCOMPARE(line, QStringLiteral("bundle\t%1/Contents/bin/Ferrowhistle\tgone").arg(bundle));
    }
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], kAppOption) == 0)
        return runAsApp(argc, argv);
    QCoreApplication app(argc, argv);
    tst_Relaunch test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Relaunch.moc"
