#include "ReleasePackage.h"

#include "BundleRequirements.h"
#include "BundleSigner.h"
#include "ReleaseDeltas.h"

#include "codesign/BundleSeal.h"
#include "codesign/OpenSslHandles.h"
#include "platform/PlistValue.h"
#include "platform/UniqueFd.h"
#include "release/PhasedRollout.h"
#include "release/VersionRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <archive.h>
#include <archive_entry.h>
#include <plist/plist++.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The app refuses archives outside these bounds, so the tool does as well.
constexpr qint64 kMaxArchiveBytes = 209715200;
constexpr qint64 kMaxInfoPlistBytes = 1 << 20;

struct ArchiveWriter {
    archive *a = archive_write_new();
    ~ArchiveWriter() { if (a) archive_write_free(a); }
};
struct ArchiveReader {
    archive *a = archive_read_new();
    ~ArchiveReader() { if (a) archive_read_free(a); }
};
using EntryPtr = std::unique_ptr<archive_entry, ossl::Deleter<archive_entry_free>>;

[[noreturn]] void archiveFailed(archive *a, const std::string &what)
{
    const char *why = a ? archive_error_string(a) : nullptr;
    throw std::runtime_error(what + (why ? std::string(": ") + why : std::string()));
}

// Every entry below root, parents before children, with its lstat.
struct TreeEntry {
    QByteArray rel;
    struct stat st;
};

void listTree(const QByteArray &root, const QByteArray &rel, std::vector<TreeEntry> &out)
{
    // Plain readdir keeps file names as bytes, whatever their encoding.
    const QByteArray dirPath = rel.isEmpty() ? root : root + '/' + rel;
    DIR *dir = ::opendir(dirPath.constData());
    if (!dir)
        throw std::runtime_error("can't read " + dirPath.toStdString());
    std::vector<QByteArray> names;
    while (dirent *d = ::readdir(dir)) {
        const QByteArray name(d->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const QByteArray &name : names) {
        const QByteArray childRel = rel.isEmpty() ? name : rel + '/' + name;
        TreeEntry e{childRel, {}};
        if (::lstat((root + '/' + childRel).constData(), &e.st) != 0)
            throw std::runtime_error("can't read " + childRel.toStdString());
        out.push_back(e);
        if (S_ISDIR(e.st.st_mode))
            listTree(root, childRel, out);
    }
}

QString plistString(PList::Dictionary &dict, const char *key)
{
    auto it = dict.Find(key);
    if (it == dict.End() || it->second->GetType() != PLIST_STRING)
        return {};
    return QString::fromStdString(static_cast<PList::String *>(it->second)->GetValue());
}

} // namespace

void writeReleaseArchive(const QString &bundlePath, const QString &zipPath, std::optional<qint64> entryTime)
{
    if (!BundleSeal::looksLikeBundle(bundlePath))
        throw std::runtime_error(bundlePath.toStdString() + " is not a bundle");
    // Publishing a bundle that would fail the app's check helps nobody.
    requireIntactSeal(bundlePath);
    const QByteArray root = QFile::encodeName(QDir::cleanPath(QFileInfo(bundlePath).absoluteFilePath()));
    const QByteArray top = QFile::encodeName(QFileInfo(bundlePath).fileName());
    std::vector<TreeEntry> tree;
    TreeEntry rootEntry{QByteArray(), {}};
    if (::lstat(root.constData(), &rootEntry.st) != 0)
        throw std::runtime_error("can't read " + root.toStdString());
    tree.push_back(rootEntry);
    listTree(root, QByteArray(), tree);

    const QByteArray temp = QFile::encodeName(zipPath) + ".partial";
    ArchiveWriter w;
    // Deflate at its strongest: a release is packed once and downloaded by
    // every user, and the unpacking costs the same at any level.
    if (!w.a || archive_write_set_format_zip(w.a) != ARCHIVE_OK ||
        archive_write_set_format_option(w.a, "zip", "compression-level", "9") != ARCHIVE_OK ||
        archive_write_open_filename(w.a, temp.constData()) != ARCHIVE_OK)
        archiveFailed(w.a, "can't create " + temp.toStdString());
    try {
        std::vector<char> buffer(1 << 20);
        for (const TreeEntry &t : tree) {
            const QByteArray full = t.rel.isEmpty() ? root : root + '/' + t.rel;
            EntryPtr entry(archive_entry_new());
            archive_entry_set_pathname(entry.get(), (t.rel.isEmpty() ? top : top + '/' + t.rel).constData());
            archive_entry_set_perm(entry.get(), t.st.st_mode & 07777);
            // A fixed time makes the archive depend on the bundle's content
            // alone; the entries' order is already fixed (sorted names).
            archive_entry_set_mtime(entry.get(), entryTime ? time_t(*entryTime) : t.st.st_mtime, 0);
            if (S_ISDIR(t.st.st_mode)) {
                archive_entry_set_filetype(entry.get(), AE_IFDIR);
            } else if (S_ISLNK(t.st.st_mode)) {
                char target[4097];
                const ssize_t n = ::readlink(full.constData(), target, sizeof target - 1);
                if (n <= 0)
                    throw std::runtime_error("can't read the link " + full.toStdString());
                target[n] = '\0';
                archive_entry_set_filetype(entry.get(), AE_IFLNK);
                archive_entry_set_symlink(entry.get(), target);
            } else if (S_ISREG(t.st.st_mode)) {
                archive_entry_set_filetype(entry.get(), AE_IFREG);
                archive_entry_set_size(entry.get(), t.st.st_size);
            } else {
                throw std::runtime_error(full.toStdString() + " is neither file, folder nor link");
            }
            if (archive_write_header(w.a, entry.get()) != ARCHIVE_OK)
                archiveFailed(w.a, "can't add " + full.toStdString());
            if (!S_ISREG(t.st.st_mode))
                continue;
            const UniqueFd fd(::open(full.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (!fd)
                throw std::runtime_error("can't read " + full.toStdString());
            qint64 written = 0;
            while (true) {
                const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    if (n < 0 || written != t.st.st_size)
                        throw std::runtime_error(full.toStdString() + " changed while it was packed");
                    break;
                }
                if (archive_write_data(w.a, buffer.data(), size_t(n)) != n)
                    archiveFailed(w.a, "can't add " + full.toStdString());
                written += n;
            }
        }
        if (archive_write_close(w.a) != ARCHIVE_OK)
            archiveFailed(w.a, "can't finish " + temp.toStdString());
    } catch (...) {
        ::unlink(temp.constData());
        throw;
    }
    if (::rename(temp.constData(), QFile::encodeName(zipPath).constData()) != 0) {
        ::unlink(temp.constData());
        throw std::runtime_error("can't write " + zipPath.toStdString());
    }
}

QUrl requireHttpsDownloadUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
        throw std::runtime_error("the download address must be an https URL");
    return url;
}

void requireMinimumSystemVersion(const QString &text)
{
    if (!VersionRules::parseMinimumSystemVersion(text))
        throw std::runtime_error("\"" + text.toStdString()
                                 + "\" is not one to three whole numbers separated by dots (such as 6.1 or 6.1.0); "
                                   "the app would read it as something else");
}

qint64 requirePhasedRolloutInterval(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    bool ok = false;
    const qint64 seconds = text.toLongLong(&ok);
    if (!digits.match(text).hasMatch() || !ok || seconds < 1)
        throw std::runtime_error("\"" + text.toStdString()
                                 + "\" is not a whole number of seconds from 1 to 9223372036854775807");
    return seconds;
}

QDateTime requirePubDate(const QString &text)
{
    const std::optional<QDateTime> date = PhasedRollout::parseDate(text);
    if (!date)
        throw std::runtime_error("\"" + text.toStdString()
                                 + "\" is not an ISO 8601 date and time with a zone (such as 2026-12-08T10:00:00Z "
                                   "or 2026-12-08T11:00:00+01:00)");
    return *date;
}

namespace {

// The option's name before the reason, as the maintainer typed it.
template<typename Check>
auto requireOption(const char *option, const QString &value, Check check)
{
    try {
        return check(value);
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(std::string(option) + ' ' + e.what());
    }
}

} // namespace

QJsonObject feedRecord(const QString &zipPath, const FeedOptions &options, QString *bundleIdentifier)
{
    const QUrl url = requireHttpsDownloadUrl(options.url);
    if (options.minimumSystemVersion)
        requireOption("--minimum-system-version", *options.minimumSystemVersion, requireMinimumSystemVersion);
    std::optional<qint64> interval;
    if (options.phasedRolloutInterval)
        interval = requireOption("--phased-rollout-interval", *options.phasedRolloutInterval, requirePhasedRolloutInterval);
    std::optional<QDateTime> pubDate;
    if (options.pubDate)
        pubDate = requireOption("--pub-date", *options.pubDate, requirePubDate);
    else if (interval) // a rollout counts from its start: now, to the second
        pubDate = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);

    QFile zip(zipPath);
    if (!zip.open(QIODevice::ReadOnly))
        throw std::runtime_error("can't read " + zipPath.toStdString());
    const qint64 size = zip.size();
    if (size < 1 || size > kMaxArchiveBytes)
        throw std::runtime_error("the archive is " + std::to_string(size) + " bytes; the app accepts 1 to 209715200");
    ossl::MdCtx md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex2(md.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("can't hash the archive");
    while (!zip.atEnd()) {
        const QByteArray block = zip.read(1 << 20);
        if (block.isEmpty())
            throw std::runtime_error("can't read " + zipPath.toStdString());
        EVP_DigestUpdate(md.get(), block.constData(), size_t(block.size()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_DigestFinal_ex(md.get(), digest, &digestLength);

    // The bundle's Info.plist: the one at NAME.app/Contents/Info.plist.
    static const QRegularExpression infoPlist(QStringLiteral("^[^/]+\\.app/Contents/Info\\.plist$"));
    ArchiveReader r;
    archive_read_support_format_zip(r.a);
    if (archive_read_open_filename(r.a, QFile::encodeName(zipPath).constData(), 1 << 16) != ARCHIVE_OK)
        archiveFailed(r.a, "can't open " + zipPath.toStdString());
    QByteArray plistBytes;
    archive_entry *entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(r.a, &entry)) == ARCHIVE_OK) {
        const char *name = archive_entry_pathname(entry);
        if (!name || !infoPlist.match(QString::fromUtf8(name)).hasMatch() || archive_entry_filetype(entry) != AE_IFREG)
            continue;
        if (archive_entry_size(entry) > kMaxInfoPlistBytes)
            throw std::runtime_error("the archive's Info.plist is too large");
        plistBytes.resize(qsizetype(archive_entry_size(entry)));
        if (archive_read_data(r.a, plistBytes.data(), size_t(plistBytes.size())) != plistBytes.size())
            archiveFailed(r.a, "can't read the archive's Info.plist");
        break;
    }
    if (rc != ARCHIVE_OK && rc != ARCHIVE_EOF)
        archiveFailed(r.a, "can't read " + zipPath.toStdString());
    if (plistBytes.isEmpty())
        throw std::runtime_error("the archive holds no NAME.app/Contents/Info.plist");
    const std::unique_ptr<PList::Dictionary> plist = parsePlistDictionary(plistBytes);
    if (!plist)
        throw std::runtime_error("the archive's Info.plist does not parse");
    auto &dict = *plist;
    const QString version = plistString(dict, "CFBundleShortVersionString");
    const QString buildText = plistString(dict, "CFBundleVersion");
    // Read by the app's own integer rule, so the feed never states a build
    // the app would read differently from the bundle it downloads.
    const std::optional<qint64> build = VersionRules::parseInteger(buildText);
    if (version.isEmpty() || !build)
        throw std::runtime_error("the archive's Info.plist has no CFBundleShortVersionString or no integer CFBundleVersion");
    if (bundleIdentifier)
        *bundleIdentifier = plistString(dict, "CFBundleIdentifier");

    QJsonObject record;
    record.insert(QStringLiteral("version"), version);
    record.insert(QStringLiteral("build"), *build);
    record.insert(QStringLiteral("url"), url.toString(QUrl::FullyEncoded));
    record.insert(QStringLiteral("sha256"), QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(digestLength)).toHex()));
    if (options.notes)
        record.insert(QStringLiteral("notes"), *options.notes);
    if (options.minimumSystemVersion)
        record.insert(QStringLiteral("minimumSystemVersion"), *options.minimumSystemVersion);
    if (pubDate)
        record.insert(QStringLiteral("pubDate"), PhasedRollout::formatDate(*pubDate));
    if (interval)
        record.insert(QStringLiteral("phasedRolloutInterval"), *interval);
    addSystemRequirements(zipPath, record);
    if (!options.deltas.isEmpty())
        record.insert(QStringLiteral("deltas"), feedDeltas(url, options.deltas, *build));
    return record;
}
