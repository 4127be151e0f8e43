// fw-bench-call COUNT SECONDS: calls DisplayMessage COUNT times in a row with
// a fixed duration and prints each call's milliseconds, as a caller sees it.
#include "intent/BusNames.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>

#include <climits>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool okCount = false, okSeconds = false;
    const int count = args.value(1).toInt(&okCount);
    const double seconds = args.value(2).toDouble(&okSeconds);
    if (!okCount || !okSeconds || count < 1) {
        std::fprintf(stderr, "usage: fw-bench-call COUNT SECONDS\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (int i = 0; i < count; ++i) {
        QDBusMessage call = QDBusMessage::createMethodCall(BusNames::service(), BusNames::objectPath(),
                                                           BusNames::intentsInterface(), QStringLiteral("DisplayMessage"));
        call << QStringLiteral("Warm call %1").arg(i + 1) << QString() << seconds;
        QElapsedTimer clock;
        clock.start();
        const QDBusMessage reply = bus.call(call, QDBus::Block, INT_MAX);
        const qint64 ms = clock.elapsed();
        if (reply.type() != QDBusMessage::ReplyMessage) {
            std::fprintf(stderr, "fw-bench-call: %s\n", qPrintable(reply.errorMessage()));
            return 1;
        }
        std::printf("%lld\n", static_cast<long long>(ms));
        std::fflush(stdout);
    }
    return 0;
}
