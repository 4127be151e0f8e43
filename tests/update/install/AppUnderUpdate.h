#pragma once

#include "../LoopbackHttpsServer.h"
#include "../SignedFeedSupport.h"
#include "support/PrivateBus.h"

#include <QByteArray>
#include <QDBusMessage>
#include <QProcess>
#include <QString>

#include <memory>

// The real app of a copy in an Applications folder, on a bus of its own, in
// a mount namespace where the loopback authority stands in the system's
// certificate folder, checking a feed that `server` hands out. Its stderr
// (and so the journal's lines, and those of whatever it starts) goes to a
// file.
class AppUnderUpdate {
public:
    AppUnderUpdate(const QString &root, const QString &home, const TestCertificateAuthority &ca);
    ~AppUnderUpdate();

    QString error;          // set when the set-up failed
    QProcessEnvironment environment;

    // Serves feed at /appcast.json, its signature beside it and zip for any
    // *.zip.
    void serve(LoopbackHttpsServer &server, const SignedFeedFiles &feed, const QByteArray &zip);
    // Starts the copy's program; false when it did not take the bus name.
    bool start(const QString &bundlePath);
    qint64 firstPid() const { return m_firstPid; }
    PrivateBus &bus() { return *m_bus; }
    QProcess &process() { return m_app; }

    QDBusMessage action(const QString &name);
    // The lines written to stderr so far.
    QStringList log() const;
    // Whether a watch of the start of the copy at bundlePath still runs.
    static bool watchRuns(const QString &bundlePath);

private:
    QString m_root, m_home, m_logFile, m_certs;
    std::unique_ptr<PrivateBus> m_bus;
    QProcess m_app;
    qint64 m_firstPid = 0;
};

// A normal user may not bind a folder over the system's certificate folder;
// root of a user namespace of its own may, in a mount namespace of that
// namespace, which is all the app under update needs. Called from a test's
// initMain(), before QCoreApplication starts a thread: a process with
// threads can't enter a user namespace. Does nothing for root.
void becomeRootOfOwnUserNamespace();
// Empty when the app can be started with the loopback authority in place
// of the system's certificates; otherwise why not, in words that name
// "needs root or a user namespace" (what the test runner counts as a skip).
QString whyNoCertificateFolder();

// The feed of a release archive, signed by the developer identity.
SignedFeedFiles feedFor(const LoopbackHttpsServer &server, const QString &version, qint64 build, const QByteArray &zip,
                        const QByteArray &developerIdentityPem);
