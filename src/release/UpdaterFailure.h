#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// The updater's one error type: a finished sentence for the user, shown
// unchanged. Updater::Failure names the same type.
class UpdaterFailure : public std::exception {
public:
    explicit UpdaterFailure(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString &message() const { return m_message; }
    QString localizedDescription() const { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// A helper program that was stopped for running past its limit.
class ToolTimedOut : public UpdaterFailure {
public:
    using UpdaterFailure::UpdaterFailure;
};

// An error of the platform (network, JSON, file system, process launch),
// passed through with the platform's own description, never rewritten.
class PlatformError : public std::exception {
public:
    explicit PlatformError(QString description) : m_description(std::move(description)), m_utf8(m_description.toUtf8()) {}
    QString localizedDescription() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

// The text to show for whatever error reached the caller.
inline QString localizedDescription(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const UpdaterFailure &f) {
        return f.localizedDescription();
    } catch (const PlatformError &e) {
        return e.localizedDescription();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}
