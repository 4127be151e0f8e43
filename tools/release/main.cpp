// ferrowhistle-release: the maintainer's tool for making a signed release.
// Not shipped in the bundle.

#include "BundleSigner.h"
#include "ReleaseChecks.h"
#include "DevelopmentCA.h"
#include "FeedSigner.h"
#include "GivenFile.h"
#include "ReleaseDeltas.h"
#include "ReleasePackage.h"
#include "ReleaseVerification.h"

#include "platform/FileIO.h"
#include "platform/UniqueFd.h"
#include "codesign/BundleSeal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct CommandHelp {
    const char *name;
    const char *text; // synopsis lines, then what it does, indented
};

const CommandHelp kCommandHelp[] = {
    {"create-ca",
     "  create-ca --name NAME --out CA.pem [--days N]\n"
     "      A development certificate authority (key and certificate) in CA.pem;\n"
     "      its certificate alone, for the build's anchors, in CA.pem's .crt sibling.\n"
     "      Never replaces an existing file. N: validity in days (default 3650).\n"},
    {"create-identity",
     "  create-identity --ca CA.pem --kind developer|notary --name NAME [--team TEAM]\n"
     "                  --out IDENTITY.pem [--days N]\n"
     "      A signing identity issued by the development authority. A developer\n"
     "      identity needs --team (the team identifier). N defaults to 730.\n"},
    {"sign",
     "  sign --identity IDENTITY.pem [--identifier ID] BUNDLE\n"
     "  sign --ad-hoc [--identifier ID] BUNDLE\n"
     "      Seals every folder, file and link of BUNDLE and signs the seal. The\n"
     "      identity must be a developer ID identity meant for code signing.\n"
     "      Removes an older notarization ticket.\n"},
    {"notarize",
     "  notarize --notary NOTARY.pem BUNDLE\n"
     "      Adds the notarization ticket to a signed, unchanged bundle. The\n"
     "      identity must be a notary identity (not a developer ID, not an authority).\n"},
    {"verify",
     "  verify [--against RUNNING.app] BUNDLE\n"
     "      Checks BUNDLE as the app checks an update (signature, then the\n"
     "      assessment), trusting the anchors of RUNNING.app (default: BUNDLE).\n"
     "      A failure names the copy at fault and why.\n"},
    {"package",
     "  package BUNDLE --out RELEASE.zip [--against RUNNING.app]\n"
     "      Runs the whole verification (as verify does), then writes the zip\n"
     "      that is published. Never writes anything for a bundle that fails.\n"
     "      With SOURCE_DATE_EPOCH set, every entry carries that time.\n"},
    {"check",
     "  check --developer-identity IDENTITY.pem --anchors ANCHORS.pem\n"
     "  check --notary-identity NOTARY.pem --anchors ANCHORS.pem\n"
     "  check --anchors ANCHORS.pem | --download-url URL | --minimum-system-version V\n"
     "  check --phased-rollout-interval SECONDS | --pub-date DATE | --channel NAME\n"
     "  check --build N [--previous RUNNING.app]\n"
     "      Checks one input of a release before anything is built, by the rules\n"
     "      the later steps apply: the kind of an identity and that the anchors\n"
     "      accept its signatures; anchors without a private key; an https\n"
     "      address; the version grammar; a rollout interval and date as the\n"
     "      app reads them; a build number above RUNNING.app's.\n"
     "      Prints nothing when it passes, one line saying why when not.\n"},
    {"feed",
     "  feed RELEASE.zip --url https://... [--notes TEXT] [--minimum-system-version V]\n"
     "                   [--phased-rollout-interval SECONDS] [--pub-date DATE]\n"
     "                   [--delta BUILD=FILE]...\n"
     "      Prints the release feed record for the archive. V is one to three\n"
     "      whole numbers separated by dots (6, 6.1, 6.1.0), compared with the\n"
     "      running Linux kernel's version. With SECONDS (a whole number, at\n"
     "      least 1) the automatic checks offer the release in seven groups of\n"
     "      installs, one group more every SECONDS from DATE on; DATE is an\n"
     "      ISO 8601 date and time with a zone (2026-12-08T10:00:00Z) and\n"
     "      defaults to now. A check the user asks for always offers it.\n"
     "      The record also says what the release needs of the system, read\n"
     "      from its ELF files: architecture, minimumGlibcVersion and\n"
     "      minimumLibstdcxxVersion (the highest each file needs).\n"
     "      Each --delta lists FILE (made by the delta command) for copies of\n"
     "      build BUILD, published beside the zip under its own file name.\n"
     "  feed RELEASE.zip --url https://... [OPTIONS ABOVE] --identity DEVELOPER.pem\n"
     "                   [--valid-days N] [--channel NAME] --out FEED\n"
     "      Writes the record to FEED, signed: with \"bundleIdentifier\" (the\n"
     "      archive's CFBundleIdentifier), \"channel\" (NAME, default stable; 1 to\n"
     "      64 letters, digits, \".\", \"_\" and \"-\"), \"published\" (now) and\n"
     "      \"expires\" (N days later, default 30, at most 365), and the developer\n"
     "      ID identity's detached signature over FEED's exact bytes in FEED.sig.\n"
     "      Publish both side by side; copies that verify updates refuse a feed\n"
     "      without its signature, one past \"expires\", and one for another app\n"
     "      or another channel than their UpdateChannel setting (default stable).\n"},
    {"renew-feed",
     "  renew-feed FEED --identity DEVELOPER.pem [--valid-days N]\n"
     "      Signs FEED again in place with a new \"published\" (now) and \"expires\"\n"
     "      (N days later, default 30, at most 365), keeping every other field;\n"
     "      for a scheduled job, so the published feed never expires. Refuses a\n"
     "      FEED the app could not read, one that does not name its app and\n"
     "      channel (made by an older version of this tool), one whose FEED.sig\n"
     "      is missing or no longer matches it (changed after signing: make it\n"
     "      anew with feed), and an identity that is not a developer ID identity\n"
     "      of the same team and authority as FEED.sig's signer. A feed or\n"
     "      renew-feed stopped half way (FEED.next left beside FEED) is\n"
     "      finished or undone first.\n"},
    {"delta",
     "  delta OLD.app NEW.app --out FILE\n"
     "      Writes the update delta that turns the signed release OLD.app into\n"
     "      NEW.app: changed files as patches against the old ones. Refuses an\n"
     "      OLD.app that doesn't verify, and a NEW.app that OLD.app wouldn't accept.\n"},
};

QString usage()
{
    QString text = QStringLiteral("Usage: ferrowhistle-release COMMAND [OPTIONS]\n"
                                  "       ferrowhistle-release COMMAND --help\n\nCommands:\n");
    for (const CommandHelp &c : kCommandHelp)
        text += QLatin1String(c.text);
    return text;
}

QString commandUsage(const QString &name)
{
    for (const CommandHelp &c : kCommandHelp) {
        if (name == QLatin1String(c.name))
            return QStringLiteral("Usage:\n") + QLatin1String(c.text);
    }
    return usage();
}

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A key or certificate file given on the command line (a link to it is
// fine; a FIFO or a device is not read).
QByteArray readFile(const QString &path)
{
    return readGivenFile(path, 4 << 20, "4 MiB");
}

// Keys are written 0600, nothing half-written is ever left at the path, and
// an existing file is never replaced: overwriting an authority's key by
// mistake would orphan every certificate it issued.
void writeNewFile(const QString &path, const QByteArray &bytes, mode_t mode)
{
    const QByteArray finalPath = QFile::encodeName(path);
    const QByteArray temp = finalPath + ".partial";
    ::unlink(temp.constData());
    UniqueFd fd(::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    bool ok = fd && writeAll(fd.get(), bytes.constData(), size_t(bytes.size())) && ::fsync(fd.get()) == 0;
    if (fd)
        ok = (fd.close() == 0) && ok;
    // link() refuses an existing name, where rename() would replace it.
    const bool placed = ok && ::link(temp.constData(), finalPath.constData()) == 0;
    const int error = errno;
    ::unlink(temp.constData());
    if (!placed)
        throw std::runtime_error(ok && error == EEXIST ? path.toStdString() + " already exists; not replacing it"
                                                      : "can't write " + path.toStdString());
}

QStringList parse(QCommandLineParser &p, const QStringList &args, const QList<QCommandLineOption> &options, int positional)
{
    p.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    p.addOptions(options);
    if (!p.parse(args))
        throw UsageError(p.errorText().toStdString());
    if (p.positionalArguments().size() != positional)
        throw UsageError("wrong number of arguments");
    return p.positionalArguments();
}

QString required(const QCommandLineParser &p, const QString &name)
{
    const QString v = p.value(name);
    if (v.isEmpty())
        throw UsageError("--" + name.toStdString() + " is required");
    return v;
}

qint64 days(const QCommandLineParser &p, qint64 fallback)
{
    if (!p.isSet(QStringLiteral("days")))
        return fallback;
    bool ok = false;
    const qint64 d = p.value(QStringLiteral("days")).toLongLong(&ok);
    if (!ok || d < 1 || d > 36500)
        throw UsageError("--days takes a whole number of days from 1 to 36500");
    return d;
}

qint64 feedValidDays(const QCommandLineParser &p)
{
    if (!p.isSet(QStringLiteral("valid-days")))
        return 30;
    try {
        return requireValidDays(p.value(QStringLiteral("valid-days")));
    } catch (const std::runtime_error &e) {
        throw UsageError(std::string("--valid-days: ") + e.what());
    }
}

QString requireChannel(const QString &channel)
{
    if (!FeedScope::isChannelName(channel))
        throw std::runtime_error("\"" + channel.toStdString() + "\" is not a channel name (1 to 64 letters, digits, \".\", \"_\" and \"-\")");
    return channel;
}

QString feedChannel(const QCommandLineParser &p)
{
    if (!p.isSet(QStringLiteral("channel")))
        return FeedScope::defaultChannel();
    try {
        return requireChannel(p.value(QStringLiteral("channel")));
    } catch (const std::runtime_error &e) {
        throw UsageError(std::string("--channel: ") + e.what());
    }
}

QCommandLineOption valueOption(const char *name) { return QCommandLineOption(QLatin1String(name), QString(), QStringLiteral("value")); }

int createCa(const QStringList &args)
{
    QCommandLineParser p;
    parse(p, args, {valueOption("name"), valueOption("out"), valueOption("days")}, 0);
    const QString out = required(p, QStringLiteral("out"));
    const IssuedCertificate ca = DevelopmentCA::createAuthority(required(p, QStringLiteral("name")), days(p, 3650) * 86400);
    QString crt = out;
    if (crt.endsWith(QLatin1String(".pem")))
        crt.chop(4);
    crt += QStringLiteral(".crt");
    for (const QString &path : {out, crt}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            throw std::runtime_error(path.toStdString() + " already exists; not replacing it");
    }
    writeNewFile(out, ca.identityPem(), 0600);
    writeNewFile(crt, ca.certificatePem, 0644);
    QTextStream(stdout) << "Wrote " << out << " (keep it private) and " << crt << " (the anchor)\n";
    return 0;
}

int createIdentity(const QStringList &args)
{
    QCommandLineParser p;
    parse(p, args, {valueOption("ca"), valueOption("kind"), valueOption("name"), valueOption("team"), valueOption("out"), valueOption("days")}, 0);
    const QString kind = required(p, QStringLiteral("kind"));
    CertificateRequest request;
    if (kind == QLatin1String("developer"))
        request.kind = CertificateRequest::Kind::Developer;
    else if (kind == QLatin1String("notary"))
        request.kind = CertificateRequest::Kind::Notary;
    else
        throw UsageError("--kind is developer or notary");
    request.commonName = required(p, QStringLiteral("name"));
    request.team = p.value(QStringLiteral("team"));
    request.notAfter = days(p, 730) * 86400;
    const QByteArray authority = readFile(required(p, QStringLiteral("ca")));
    const QString out = required(p, QStringLiteral("out"));
    writeNewFile(out, DevelopmentCA::issue(authority, request).identityPem(), 0600);
    QTextStream(stdout) << "Wrote " << out << '\n';
    return 0;
}

int sign(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption adHoc(QStringLiteral("ad-hoc"));
    const QStringList pos = parse(p, args, {valueOption("identity"), valueOption("identifier"), adHoc}, 1);
    if (p.isSet(adHoc) == p.isSet(QStringLiteral("identity")))
        throw UsageError("give either --identity or --ad-hoc");
    const QByteArray identity = p.isSet(adHoc) ? QByteArray() : readFile(p.value(QStringLiteral("identity")));
    if (!identity.isEmpty())
        requireDeveloperIdentity(SigningIdentity::fromPem(identity));
    signBundle(pos[0], identity, p.value(QStringLiteral("identifier")));
    QTextStream(stdout) << "Signed " << pos[0] << (p.isSet(adHoc) ? " (ad hoc)\n" : "\n");
    return 0;
}

int notarize(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("notary")}, 1);
    const QByteArray notary = readFile(required(p, QStringLiteral("notary")));
    requireNotaryIdentity(SigningIdentity::fromPem(notary));
    notarizeBundle(pos[0], notary);
    QTextStream(stdout) << "Notarized " << pos[0] << '\n';
    return 0;
}

int verify(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("against")}, 1);
    try {
        const QString team = verifyRelease(pos[0], p.value(QStringLiteral("against")));
        QTextStream(stdout) << pos[0] << ": valid signature of team " << team << ", notarized\n";
        return 0;
    } catch (const ReleaseVerificationError &e) {
        err() << e.what() << Qt::endl;
        return 1;
    }
}

// The reproducible-builds convention: SOURCE_DATE_EPOCH, when set, is the
// time the archive's entries carry.
std::optional<qint64> sourceDateEpoch()
{
    if (!qEnvironmentVariableIsSet("SOURCE_DATE_EPOCH"))
        return std::nullopt;
    const QString text = qEnvironmentVariable("SOURCE_DATE_EPOCH");
    const bool digits = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    bool ok = false;
    const qint64 seconds = text.toLongLong(&ok);
    // What a zip's date field can hold: 1980 to 2107.
    if (!digits || !ok || seconds < 315532800 || seconds > 4354819199)
        throw std::runtime_error("SOURCE_DATE_EPOCH \"" + text.toStdString()
                                 + "\" is not a time in seconds since 1970 that a zip can carry (1980 to 2107)");
    return seconds;
}

int package(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("out"), valueOption("against")}, 1);
    const QString out = required(p, QStringLiteral("out"));
    if (!BundleSeal::looksLikeBundle(pos[0]))
        throw std::runtime_error(pos[0].toStdString() + " is not a bundle");
    // An archive that a user's copy would refuse must never be written.
    requireIntactSeal(pos[0]);
    verifyRelease(pos[0], p.value(QStringLiteral("against")));
    const std::optional<qint64> entryTime = sourceDateEpoch();
    writeReleaseArchive(pos[0], out, entryTime);
    QTextStream(stdout) << "Wrote " << p.value(QStringLiteral("out")) << '\n';
    return 0;
}

int check(const QStringList &args)
{
    QCommandLineParser p;
    parse(p, args,
          {valueOption("developer-identity"), valueOption("notary-identity"), valueOption("anchors"), valueOption("build"),
           valueOption("previous"), valueOption("download-url"), valueOption("minimum-system-version"),
           valueOption("phased-rollout-interval"), valueOption("pub-date"), valueOption("channel")},
          0);
    auto has = [&](const char *name) { return p.isSet(QLatin1String(name)); };
    const int subjects = int(has("developer-identity")) + int(has("notary-identity")) + int(has("build"))
                         + int(has("download-url")) + int(has("minimum-system-version"))
                         + int(has("phased-rollout-interval")) + int(has("pub-date")) + int(has("channel"));
    if (subjects > 1 || (subjects == 0 && !has("anchors")))
        throw UsageError("check one thing at a time");
    if (has("previous") && !has("build"))
        throw UsageError("--previous goes with --build");
    const QString anchors = p.value(QStringLiteral("anchors"));
    if (has("developer-identity") || has("notary-identity")) {
        if (anchors.isEmpty())
            throw UsageError("an identity is checked against --anchors");
        const bool developer = has("developer-identity");
        checkIdentity(p.value(QLatin1String(developer ? "developer-identity" : "notary-identity")),
                      developer ? IdentityKind::Developer : IdentityKind::Notary, anchors);
    } else if (has("build")) {
        checkBuildNumber(p.value(QStringLiteral("build")), p.value(QStringLiteral("previous")));
    } else if (has("download-url")) {
        requireHttpsDownloadUrl(p.value(QStringLiteral("download-url")));
    } else if (has("minimum-system-version")) {
        requireMinimumSystemVersion(p.value(QStringLiteral("minimum-system-version")));
    } else if (has("phased-rollout-interval")) {
        requirePhasedRolloutInterval(p.value(QStringLiteral("phased-rollout-interval")));
    } else if (has("pub-date")) {
        requirePubDate(p.value(QStringLiteral("pub-date")));
    } else if (has("channel")) {
        requireChannel(p.value(QStringLiteral("channel")));
    } else {
        checkAnchors(anchors);
    }
    return 0;
}

int feed(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args,
                                  {valueOption("url"), valueOption("notes"), valueOption("minimum-system-version"),
                                   valueOption("phased-rollout-interval"), valueOption("pub-date"), valueOption("delta"),
                                   valueOption("identity"), valueOption("valid-days"), valueOption("channel"), valueOption("out")},
                                  1);
    const bool signing = p.isSet(QStringLiteral("identity"));
    if (!signing && (p.isSet(QStringLiteral("out")) || p.isSet(QStringLiteral("valid-days")) || p.isSet(QStringLiteral("channel"))))
        throw UsageError("--out, --valid-days and --channel go with --identity; without it the feed is printed unsigned");
    FeedOptions options;
    options.url = required(p, QStringLiteral("url"));
    const auto optional = [&](const char *name) {
        return p.isSet(QLatin1String(name)) ? std::optional<QString>(p.value(QLatin1String(name))) : std::nullopt;
    };
    options.notes = optional("notes");
    options.minimumSystemVersion = optional("minimum-system-version");
    options.phasedRolloutInterval = optional("phased-rollout-interval");
    options.pubDate = optional("pub-date");
    options.deltas = p.values(QStringLiteral("delta"));
    if (!signing) {
        QTextStream(stdout) << QJsonDocument(feedRecord(pos[0], options)).toJson(QJsonDocument::Indented);
        return 0;
    }
    const QString out = required(p, QStringLiteral("out"));
    const qint64 validDays = feedValidDays(p);
    FeedScope scope;
    scope.channel = feedChannel(p);
    const QByteArray identity = readFile(p.value(QStringLiteral("identity")));
    const QJsonObject record = feedRecord(pos[0], options, &scope.identifier);
    if (scope.identifier.isEmpty())
        throw std::runtime_error("the archive's Info.plist has no CFBundleIdentifier, which a signed feed names");
    writeSignedFeed(out, signFeed(record, scope, identity, validDays, QDateTime::currentDateTimeUtc()));
    QTextStream(stdout) << "Wrote " << out << " and " << out << ".sig\n";
    return 0;
}

int renewFeedCommand(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("identity"), valueOption("valid-days")}, 1);
    const QByteArray identity = readFile(required(p, QStringLiteral("identity")));
    if (renewFeed(pos[0], identity, feedValidDays(p), QDateTime::currentDateTimeUtc()))
        QTextStream(stdout) << "Finished the write of " << pos[0] << " that was stopped half way\n";
    QTextStream(stdout) << "Renewed " << pos[0] << " and " << pos[0] << ".sig\n";
    return 0;
}

int delta(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("out")}, 2);
    const QString out = required(p, QStringLiteral("out"));
    writeReleaseDelta(pos[0], pos[1], out);
    QTextStream(stdout) << "Wrote " << out << " (" << QFileInfo(out).size() << " bytes)\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const std::map<QString, std::function<int(const QStringList &)>> commands{
        {QStringLiteral("create-ca"), createCa},   {QStringLiteral("create-identity"), createIdentity},
        {QStringLiteral("sign"), sign},            {QStringLiteral("notarize"), notarize},
        {QStringLiteral("verify"), verify},        {QStringLiteral("package"), package},
        {QStringLiteral("feed"), feed},            {QStringLiteral("check"), check},
        {QStringLiteral("renew-feed"), renewFeedCommand},
        {QStringLiteral("delta"), delta},
    };
    if (args.size() < 2 || args[1] == QLatin1String("--help") || args[1] == QLatin1String("-h")) {
        std::fputs(usage().toUtf8().constData(), args.size() < 2 ? stderr : stdout);
        return args.size() < 2 ? 2 : 0;
    }
    const auto command = commands.find(args[1]);
    if (command == commands.end()) {
        err() << "ferrowhistle-release: unknown command " << args[1] << "\n\n" << usage();
        return 2;
    }
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        QTextStream(stdout) << commandUsage(args[1]);
        return 0;
    }
    // The parser wants a program name before the options.
    QStringList rest = args.mid(2);
    rest.prepend(args[0] + u' ' + args[1]);
    try {
        return command->second(rest);
    } catch (const UsageError &e) {
        err() << "ferrowhistle-release " << args[1] << ": " << e.what() << "\n\n" << commandUsage(args[1]);
        return 2;
    } catch (const std::exception &e) {
        err() << "ferrowhistle-release " << args[1] << ": " << e.what() << Qt::endl;
        return 1;
    }
}
