#pragma once

#include "platform/Bundle.h"
#include "update/UpdaterFailure.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

// Writes NAME.app/Contents/Info.plist under dir with the given entries; a
// value starting with "<" is written as raw plist XML (for other types).
inline Bundle makeTestBundle(const QString &dir, const QMap<QString, QString> &entries,
                             const QString &name = QStringLiteral("Ferrowhistle"))
{
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".app");
    QDir().mkpath(path + QStringLiteral("/Contents/bin"));
    QFile f(path + QStringLiteral("/Contents/Info.plist"));
    if (f.open(QIODevice::WriteOnly)) {
        QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            xml += "<key>" + it.key().toUtf8() + "</key>";
            xml += it.value().startsWith(u'<') ? it.value().toUtf8()
                                               : "<string>" + it.value().toHtmlEscaped().toUtf8() + "</string>";
            xml += "\n";
        }
        xml += "</dict>\n</plist>\n";
        f.write(xml);
    }
    return Bundle::atPath(path);
}

// What a coroutine ended with: its value, or the text of what it threw and
// whether that was the updater's own failure.
template<typename T>
struct Outcome {
    std::optional<T> value;
    QString error;
    bool isUpdaterFailure = false;
    bool isPlatformError = false;
};

namespace detail {
template<typename T>
QCoro::Task<> captureOutcome(QCoro::Task<T> task, Outcome<T> &o, bool &done, QEventLoop &loop)
{
    try {
        o.value = co_await std::move(task);
    } catch (const UpdaterFailure &f) {
        o.error = f.localizedDescription();
        o.isUpdaterFailure = true;
    } catch (const PlatformError &e) {
        o.error = e.localizedDescription();
        o.isPlatformError = true;
    }
    done = true;
    loop.quit();
}
} // namespace detail

// Runs the task to its end in a nested event loop. (QCoro 0.8's waitFor never
// returns when the task throws, so it cannot be used for failures.)
template<typename T>
Outcome<T> outcomeOf(QCoro::Task<T> task)
{
    Outcome<T> o;
    bool done = false;
    QEventLoop loop;
    detail::captureOutcome(std::move(task), o, done, loop);
    if (!done)
        loop.exec();
    return o;
}

// The same for a task that returns nothing and never throws.
inline void runToEnd(QCoro::Task<> task)
{
    bool done = false;
    QEventLoop loop;
    [](QCoro::Task<> t, bool &d, QEventLoop &l) -> QCoro::Task<> {
        co_await std::move(t);
        d = true;
        l.quit();
    }(std::move(task), done, loop);
    if (!done)
        loop.exec();
}
