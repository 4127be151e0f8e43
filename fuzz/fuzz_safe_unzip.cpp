// Archives from whoever serves the download, unpacked as an update is:
// into a folder that did not exist, beside folders that must stay as they
// were. Whatever the archive holds, nothing may appear outside the folder,
// no entry may keep set-uid/set-gid or group/world write, no link may lead
// out, and a refused archive must be removable as the installer removes it.
#include "FixedBundle.h"

#include "platform/RemoveTree.h"
#include "release/UpdaterFailure.h"
#include "update/install/SafeUnzip.h"

#include <QFile>

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
    std::fprintf(stderr, "fuzz_safe_unzip: %s: %s\n", what, where.c_str());
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

// Checks every entry below dir without following links.
void checkTree(const std::string &dir, const std::string &realRoot)
{
    for (const std::string &name : listing(dir)) {
        const std::string path = dir + '/' + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            fail("cannot stat", path);
        if (S_ISLNK(st.st_mode)) {
            char *resolved = ::realpath(path.c_str(), nullptr);
            if (!resolved)
                fail("dangling link kept", path);
            const std::string r(resolved);
            std::free(resolved);
            if (r != realRoot && r.rfind(realRoot + '/', 0) != 0)
                fail("link leads out", path);
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            fail("special file made", path);
        if (st.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH))
            fail("unsafe mode kept", path);
        if (S_ISREG(st.st_mode) && st.st_nlink != 1)
            fail("hard link made", path);
        if (S_ISDIR(st.st_mode))
            checkTree(path, realRoot);
    }
}

struct Place {
    std::string top;      // holds sentinel/ and work/
    std::string work;     // holds the archive and the destination
    std::string sentinel; // must stay empty
    std::string archive;
    std::string dest;
    std::set<std::string> topListing;
    std::set<std::string> workListing;
};

const Place &place()
{
    static const Place p = [] {
        Place p;
        p.top = QFile::encodeName(fuzzFolder()).toStdString();
        p.work = p.top + "/work";
        p.sentinel = p.top + "/sentinel";
        p.archive = p.work + "/download.zip";
        p.dest = p.work + "/unpacked";
        if (::mkdir(p.work.c_str(), 0755) != 0 || ::mkdir(p.sentinel.c_str(), 0755) != 0)
            fail("cannot make", p.top);
        writeFuzzFile(QFile::decodeName(p.archive.c_str()), {});
        p.topListing = listing(p.top);
        p.workListing = listing(p.work);
        ::umask(022);
        return p;
    }();
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Place &p = place();
    writeFuzzFile(QFile::decodeName(p.archive.c_str()),
                  QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    // Small limits keep each run short; the counting is what is tested.
    UnzipLimits limits;
    limits.maxEntries = 2000;
    limits.maxBytes = 4 << 20;
    bool unpacked = false;
    try {
        safeUnzip(QFile::decodeName(p.archive.c_str()), QFile::decodeName(p.dest.c_str()), limits);
        unpacked = true;
    } catch (const UpdaterFailure &) {
    } catch (const PlatformError &) {
    }

    if (!listing(p.sentinel).empty())
        fail("an entry escaped into", p.sentinel);
    if (listing(p.top) != p.topListing)
        fail("an entry escaped into", p.top);
    std::set<std::string> expected = p.workListing;
    expected.insert("unpacked");
    if (listing(p.work) != expected)
        fail("an entry escaped into", p.work);
    struct stat st;
    if (::lstat(p.dest.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        fail("destination is not a folder", p.dest);
    if (unpacked)
        checkTree(p.dest, p.dest);
    // The installer removes the folder whatever happened; it must go whole.
    if (!removeTree(QFile::decodeName(p.dest.c_str())))
        fail("cannot remove", p.dest);
    if (listing(p.work) != p.workListing)
        fail("left behind in", p.work);
    return 0;
}
