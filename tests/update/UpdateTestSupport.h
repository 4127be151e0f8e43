#pragma once

#include "platform/Bundle.h"
#include "release/UpdaterFailure.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMap>

#include <qcoro/qcorotask.h>

#include <optional>

// NAME.app/Contents/Info.plist under dir; a value starting with "<" is raw
// plist XML (for types other than string).
inline Bundle makeTestBundle(const QString &dir, const QMap<QString, QString> &entries)
{
    const QString path = dir + QStringLiteral("/Ferrowhistle.app");
    QDir().mkpath(path + QStringLiteral("/Contents"));
    QByteArray xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
    for (auto it = entries.begin(); it != entries.end(); ++it)
        xml += "<key>" + it.key().toUtf8() + "</key>"
               + (it->startsWith(u'<') ? it->toUtf8() : "<string>" + it->toHtmlEscaped().toUtf8() + "</string>");
    QFile f(path + QStringLiteral("/Contents/Info.plist"));
    if (f.open(QIODevice::WriteOnly))
        f.write(xml + "</dict></plist>");
    return Bundle::atPath(path);
}

// A task's value, or the text of what it threw. Runs the task in a nested
// event loop; QCoro 0.8's waitFor never returns when the task throws.
template<typename T>
struct Outcome {
    std::optional<T> value;
    QString error;
    bool isUpdaterFailure = false;
};

template<typename T>
Outcome<T> outcomeOf(QCoro::Task<T> task)
{
    Outcome<T> o;
    bool done = false;
    QEventLoop loop;
    [](QCoro::Task<T> t, Outcome<T> &o, bool &done, QEventLoop &loop) -> QCoro::Task<> {
        try {
            o.value = co_await std::move(t);
        } catch (const UpdaterFailure &f) {
            o.error = f.localizedDescription();
            o.isUpdaterFailure = true;
        } catch (const PlatformError &e) {
            o.error = e.localizedDescription();
        }
        done = true;
        loop.quit();
    }(std::move(task), o, done, loop);
    if (!done)
        loop.exec();
    return o;
}

inline void runToEnd(QCoro::Task<> task)
{
    outcomeOf([](QCoro::Task<> t) -> QCoro::Task<bool> {
        co_await std::move(t);
        co_return true;
    }(std::move(task)));
}
