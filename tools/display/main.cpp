// ferrowhistle-display: shows a message through the running Ferrowhistle (or
// one it starts) and returns once the message has gone, so a script's next
// step runs after it.
#include "DisplayArguments.h"
#include "DisplayClient.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdio>

namespace {

void printLine(FILE *to, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fputc('\n', to);
}

QCoro::Task<> runAndQuit(DisplayArguments arguments)
{
    DisplayClient client(QDBusConnection::sessionBus());
    const DisplayClient::Result r = co_await client.run(std::move(arguments));
    if (r.exitCode != 0)
        printLine(stderr, QStringLiteral("ferrowhistle-display: ") + r.error);
    QCoreApplication::exit(r.exitCode);
}

} // namespace

int main(int argc, char **argv)
{
    // Ctrl-C keeps its default action: this process ends at once, and the
    // app (never our child: started by the bus or detached) is unaffected.
    QCoreApplication app(argc, argv);
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    DisplayArguments parsed = DisplayArguments::parse(arguments);
    if (parsed.result == DisplayArguments::Result::Help) {
        std::fputs(DisplayArguments::usage().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parsed.result == DisplayArguments::Result::UsageError) {
        printLine(stderr, QStringLiteral("ferrowhistle-display: ") + parsed.error);
        printLine(stderr, QStringLiteral("Try 'ferrowhistle-display --help'."));
        return 2;
    }
    // Start inside the loop, so that an early exit() is not lost.
    QTimer::singleShot(0, &app, [&parsed] { runAndQuit(std::move(parsed)); });
    return app.exec();
}
