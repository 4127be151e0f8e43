// Update deltas from whoever serves them, applied as an install applies
// them: to a fresh copy of a bundle in a staging folder. Whatever the delta
// holds, nothing may appear or change outside that folder, no link may be
// left leading out of it, and the folder must be removable whole. Beside
// the staging folder lies a sentinel tree (outside/, with a closed victim
// folder, as a hostile delta would aim at): its modes, contents and times
// are compared after every input.
//
// The first input byte chooses the form: mostly the records, compressed
// here behind a valid header so the fuzzer spends its time on what follows
// the decompression; sometimes the input as the whole file.
#include "FixedBundle.h"

#include "codesign/BundleDelta.h"
#include "codesign/CodeResources.h"
#include "platform/CopyTree.h"
#include "platform/RemoveTree.h"

#include <QFile>

#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *what, const std::string &where)
{
    std::fprintf(stderr, "fuzz_bundle_delta: %s: %s\n", what, where.c_str());
    std::abort();
}

std::set<std::string> listing(const std::string &dir)
{
    std::set<std::string> names;
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        fail("cannot list", dir);
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.insert(name);
    }
    ::closedir(d);
    return names;
}

void checkLinks(const std::string &dir, const std::string &realRoot)
{
    for (const std::string &name : listing(dir)) {
        const std::string path = dir + '/' + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            fail("cannot stat", path);
        if (S_ISLNK(st.st_mode)) {
            char *resolved = ::realpath(path.c_str(), nullptr);
            if (resolved) {
                const std::string r(resolved);
                std::free(resolved);
                if (r != realRoot && r.rfind(realRoot + '/', 0) != 0)
                    fail("link leads out", path);
            }
        } else if (S_ISDIR(st.st_mode)) {
            checkLinks(path, realRoot);
        }
    }
}

// Every entry below dir with its kind, mode, size, times, link target and
// contents, one line each.
void snapshot(const std::string &dir, const std::string &shownAs, std::set<std::string> &out)
{
    for (const std::string &name : listing(dir)) {
        const std::string path = dir + '/' + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            fail("cannot stat", path);
        std::string line = shownAs + '/' + name + ' ' + std::to_string(st.st_mode) + ' ' + std::to_string(st.st_size) + ' '
                           + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) + ' '
                           + std::to_string(st.st_ctim.tv_sec) + '.' + std::to_string(st.st_ctim.tv_nsec);
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
            line += " -> " + std::string(target, n > 0 ? size_t(n) : 0);
        } else if (S_ISREG(st.st_mode)) {
            QFile f(QFile::decodeName(path.c_str()));
            if (!f.open(QIODevice::ReadOnly))
                fail("cannot read", path);
            line += ' ' + f.readAll().toHex().toStdString();
        }
        out.insert(line);
        if (S_ISDIR(st.st_mode))
            snapshot(path, shownAs + '/' + name, out);
    }
}

std::set<std::string> snapshot(const std::string &dir)
{
    std::set<std::string> out;
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        fail("cannot stat", dir);
    out.insert(". " + std::to_string(st.st_mode) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec)
               + ' ' + std::to_string(st.st_ctim.tv_sec) + '.' + std::to_string(st.st_ctim.tv_nsec));
    snapshot(dir, ".", out);
    return out;
}

void setPast(const std::string &path)
{
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), past, AT_SYMLINK_NOFOLLOW) != 0)
        fail("cannot date", path);
}

// A closed folder with a file, a file and an open folder, dated in the past.
void makeSentinel(const std::string &dir)
{
    if (::mkdir(dir.c_str(), 0755) != 0 || ::mkdir((dir + "/victim").c_str(), 0700) != 0
        || ::mkdir((dir + "/open").c_str(), 0755) != 0)
        fail("cannot make", dir);
    writeFuzzFile(QFile::decodeName((dir + "/victim/secret").c_str()), "kept\n", 0600);
    writeFuzzFile(QFile::decodeName((dir + "/file").c_str()), "kept too\n", 0644);
    if (::chmod((dir + "/victim").c_str(), 0700) != 0 || ::chmod((dir + "/victim/secret").c_str(), 0600) != 0)
        fail("cannot close", dir);
    for (const char *p : {"/victim/secret", "/victim", "/file", "/open", ""})
        setPast(dir + p);
}

struct Place {
    std::string top;      // holds fixed/, sentinel/ and work/
    std::string fixed;    // the bundle the deltas apply to
    std::string sentinel; // must stay empty
    std::string work;     // holds the delta, the staging folder and outside/
    std::string outside;  // the sentinel tree beside the staging folder
    std::set<std::string> outsideSnapshot;
    std::string delta;
    std::string stage;
    std::set<std::string> topListing;
    std::set<std::string> workListing;
    QByteArray header;
};

const Place &place()
{
    static const Place p = [] {
        Place p;
        p.top = QFile::encodeName(fuzzFolder()).toStdString();
        p.work = p.top + "/work";
        p.sentinel = p.top + "/sentinel";
        p.delta = p.work + "/update.delta";
        p.stage = p.work + "/stage";
        p.outside = p.work + "/outside";
        ::umask(022);
        if (::mkdir(p.work.c_str(), 0755) != 0 || ::mkdir(p.sentinel.c_str(), 0755) != 0)
            fail("cannot make", p.top);
        makeSentinel(p.outside);
        p.outsideSnapshot = snapshot(p.outside);
        p.fixed = QFile::encodeName(makeFixedBundle(QFile::decodeName((p.top + "/fixed").c_str()),
                                                    QStringLiteral("com.copperkestrel.Ferrowhistle"))).toStdString();
        writeFuzzFile(QFile::decodeName(p.delta.c_str()), {});
        p.topListing = listing(p.top);
        p.workListing = listing(p.work);
        p.header = QByteArray("FWDELTA\n") + QByteArray("\x01\x00\x00\x00", 4) + QByteArray(64, '\0');
        return p;
    }();
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Place &p = place();
    if (size == 0)
        return 0;
    const QByteArray body(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    QByteArray file;
    if (data[0] % 8 == 0) {
        file = body;
    } else {
        QByteArray frame(qsizetype(ZSTD_compressBound(size_t(body.size()))), Qt::Uninitialized);
        const size_t n = ZSTD_compress(frame.data(), size_t(frame.size()), body.constData(), size_t(body.size()), 1);
        if (ZSTD_isError(n))
            fail("cannot compress", "input");
        frame.truncate(qsizetype(n));
        file = p.header + frame;
    }
    writeFuzzFile(QFile::decodeName(p.delta.c_str()), file);

    const QString stage = QFile::decodeName(p.stage.c_str());
    if (::mkdir(p.stage.c_str(), 0700) != 0)
        fail("cannot make", p.stage);
    const QString candidate = stage + QStringLiteral("/Ferrowhistle.app");
    copyTree(QFile::decodeName(p.fixed.c_str()), candidate);
    // Small limits keep each run short; the counting is what is tested.
    DeltaLimits limits;
    limits.maxFileBytes = 1 << 20;
    limits.maxTotalBytes = 4 << 20;
    limits.maxRecords = 5000;
    limits.windowLogMax = 22;
    try {
        BundleDelta::apply(QFile::decodeName(p.delta.c_str()), candidate, limits);
    } catch (const DeltaError &) {
    } catch (const SealError &) {
    }

    if (!listing(p.sentinel).empty())
        fail("an entry escaped into", p.sentinel);
    if (snapshot(p.outside) != p.outsideSnapshot)
        fail("an entry, mode, time or byte changed in", p.outside);
    if (listing(p.top) != p.topListing)
        fail("an entry escaped into", p.top);
    std::set<std::string> expected = p.workListing;
    expected.insert("stage");
    if (listing(p.work) != expected)
        fail("an entry escaped into", p.work);
    checkLinks(p.stage, p.stage);
    // The installer removes the folder whatever happened; it must go whole.
    if (!removeTree(stage))
        fail("cannot remove", p.stage);
    if (listing(p.work) != p.workListing)
        fail("left behind in", p.work);
    return 0;
}
