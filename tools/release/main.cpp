// ferrowhistle-release: the maintainer's tool for making a signed release.
// Not shipped in the bundle.

#include "BundleSigner.h"
#include "DevelopmentCA.h"
#include "ReleasePackage.h"

#include "platform/Bundle.h"
#include "platform/FileIO.h"
#include "platform/UniqueFd.h"
#include "codesign/CodeSigning.h"
#include "codesign/Notarization.h"
#include "codesign/SealedBundle.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char *const kUsage =
    "Usage: ferrowhistle-release COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  create-ca --name NAME --out CA.pem [--days N]\n"
    "      A development certificate authority (key and certificate) in CA.pem;\n"
    "      its certificate alone, for the build's anchors, in CA.pem's .crt sibling.\n"
    "  create-identity --ca CA.pem --kind developer|notary --name NAME [--team TEAM]\n"
    "                  --out IDENTITY.pem [--days N]\n"
    "      A signing identity issued by the development authority.\n"
    "  sign --identity IDENTITY.pem [--identifier ID] BUNDLE\n"
    "  sign --ad-hoc [--identifier ID] BUNDLE\n"
    "      Seals every folder, file and link of BUNDLE and signs the seal.\n"
    "  notarize --notary NOTARY.pem BUNDLE\n"
    "      Adds the notarization ticket to a signed bundle.\n"
    "  verify [--against RUNNING.app] BUNDLE\n"
    "      Checks BUNDLE as the app checks an update (signature, then the\n"
    "      assessment), trusting the anchors of RUNNING.app (default: BUNDLE).\n"
    "  package BUNDLE --out RELEASE.zip\n"
    "  feed RELEASE.zip --url https://... [--notes TEXT] [--minimum-system-version V]\n"
    "      Prints the release feed record for the archive.\n";

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("can't read " + path.toStdString() + ": " + f.errorString().toStdString());
    return f.read(4 << 20);
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
    signBundle(pos[0], identity, p.value(QStringLiteral("identifier")));
    QTextStream(stdout) << "Signed " << pos[0] << (p.isSet(adHoc) ? " (ad hoc)\n" : "\n");
    return 0;
}

int notarize(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("notary")}, 1);
    notarizeBundle(pos[0], readFile(required(p, QStringLiteral("notary"))));
    QTextStream(stdout) << "Notarized " << pos[0] << '\n';
    return 0;
}

int verify(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("against")}, 1);
    const Bundle running = Bundle::atPath(p.isSet(QStringLiteral("against")) ? p.value(QStringLiteral("against")) : pos[0]);
    // Opened once: both checks judge the same list and the same walk.
    std::optional<SealedBundle> bundle;
    try {
        bundle.emplace(pos[0]);
        verifySignature(*bundle, running);
    } catch (const SealError &) {
        err() << "signature not accepted: not an application bundle" << Qt::endl;
        return 1;
    } catch (const CodeSigningError &e) {
        err() << "signature not accepted: " << e.reason() << Qt::endl;
        return 1;
    }
    const Assessment a = assessNotarization(*bundle, running);
    if (a.outcome != Assessment::Accepted) {
        err() << "signature valid, but not accepted as notarized: " << a.reason << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << pos[0] << ": valid signature of team " << teamIdentifier(running) << ", notarized\n";
    return 0;
}

int package(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("out")}, 1);
    writeReleaseArchive(pos[0], required(p, QStringLiteral("out")));
    QTextStream(stdout) << "Wrote " << p.value(QStringLiteral("out")) << '\n';
    return 0;
}

int feed(const QStringList &args)
{
    QCommandLineParser p;
    const QStringList pos = parse(p, args, {valueOption("url"), valueOption("notes"), valueOption("minimum-system-version")}, 1);
    FeedOptions options;
    options.url = required(p, QStringLiteral("url"));
    if (p.isSet(QStringLiteral("notes")))
        options.notes = p.value(QStringLiteral("notes"));
    if (p.isSet(QStringLiteral("minimum-system-version")))
        options.minimumSystemVersion = p.value(QStringLiteral("minimum-system-version"));
    QTextStream(stdout) << QJsonDocument(feedRecord(pos[0], options)).toJson(QJsonDocument::Indented);
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
        {QStringLiteral("feed"), feed},
    };
    if (args.size() < 2 || args[1] == QLatin1String("--help") || args[1] == QLatin1String("-h")) {
        std::fputs(kUsage, args.size() < 2 ? stderr : stdout);
        return args.size() < 2 ? 2 : 0;
    }
    const auto command = commands.find(args[1]);
    if (command == commands.end()) {
        err() << "ferrowhistle-release: unknown command " << args[1] << "\n\n" << kUsage;
        return 2;
    }
    // The parser wants a program name before the options.
    QStringList rest = args.mid(2);
    rest.prepend(args[0] + u' ' + args[1]);
    try {
        return command->second(rest);
    } catch (const UsageError &e) {
        err() << "ferrowhistle-release " << args[1] << ": " << e.what() << "\n\n" << kUsage;
        return 2;
    } catch (const std::exception &e) {
        err() << "ferrowhistle-release " << args[1] << ": " << e.what() << Qt::endl;
        return 1;
    }
}
