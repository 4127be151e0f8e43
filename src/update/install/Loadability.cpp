#include "update/install/Loadability.h"

#include "platform/Bundle.h"
#include "platform/ElfFile.h"
#include "platform/SystemProfile.h"
#include "release/UpdaterFailure.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMultiHash>
#include <QSet>

#include <map>
#include <optional>

#include <glob.h>

namespace Loadability {

namespace {

const QString kTail = QStringLiteral(", so it wasn't installed.");

// Reads ld.so.conf: one folder a line, "#" comments, and "include GLOB"
// lines naming further files (relative globs against the file's folder).
void readConfig(const QString &path, QStringList &folders, QSet<QString> &seen, int depth)
{
    if (depth > 8 || seen.contains(path))
        return;
    seen.insert(path);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QString base = QFileInfo(path).absolutePath();
    for (QByteArray line : f.readAll().split('\n')) {
        const qsizetype hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith("include") && line.size() > 7 && (line[7] == ' ' || line[7] == '\t')) {
            QByteArray pattern = line.mid(8).trimmed();
            if (!pattern.startsWith('/'))
                pattern = QFile::encodeName(base) + '/' + pattern;
            glob_t g{};
            if (::glob(pattern.constData(), 0, nullptr, &g) == 0) {
                for (size_t i = 0; i < g.gl_pathc; ++i)
                    readConfig(QFile::decodeName(g.gl_pathv[i]), folders, seen, depth + 1);
            }
            ::globfree(&g);
            continue;
        }
        // "hwcap" lines and the like are not folders.
        if (line.startsWith('/'))
            folders.append(QFile::decodeName(line));
    }
}

// One definition of a name in a library's dynamic symbols.
struct Definition {
    QByteArray version;
    bool hidden = false;
};

struct Library {
    QString path;  // where it was found
    Elf::Info info;
    bool inBundle = false;
    // A system library whose symbols don't read is taken to answer every
    // reference: only what can be read is held against a download.
    bool symbolsKnown = false;
    QString symbolsError; // why they don't read
    QMultiHash<QByteArray, Definition> definitions;
};

// Whether lib answers ref as the loader matches them: a reference naming a
// version binds to that version, or to an unversioned, default definition
// (and to anything in a library without versions); a reference naming none
// binds to any default definition.
bool answers(const Library &lib, const Elf::Symbol &ref)
{
    if (!lib.symbolsKnown)
        return true;
    for (auto it = lib.definitions.constFind(ref.name); it != lib.definitions.cend() && it.key() == ref.name; ++it) {
        if (!lib.info.symbolVersions)
            return true;
        if (ref.version.isEmpty() ? !it->hidden : it->version == ref.version || (it->version.isEmpty() && !it->hidden))
            return true;
    }
    return false;
}

// The objects of one process in the loader's order (breadth first from the
// program), with the names each was loaded by: a later need of a name
// already loaded binds to that object, wherever its own search would lead.
struct Scope {
    QList<const Library *> order;
    QHash<QByteArray, const Library *> byName;
    QMultiHash<QByteArray, const Library *> index; // definitions of order[0, indexed)
    qsizetype indexed = 0;
    bool unknownSymbols = false;
};

QString referenceText(const Elf::Symbol &ref)
{
    return ref.version.isEmpty() ? QString::fromUtf8(ref.name)
                                 : QStringLiteral("%1 (%2)").arg(QString::fromUtf8(ref.name), QString::fromUtf8(ref.version));
}

class Checker {
public:
    Checker(const QString &bundle, QStringList systemFolders)
        : m_root(QFileInfo(bundle).canonicalFilePath()), m_system(std::move(systemFolders))
    {
        // This process's own kind of ELF file is what the loader here takes.
        try {
            if (const auto self = Elf::readFile(QStringLiteral("/proc/self/exe")))
                m_self = *self;
        } catch (const Elf::ElfError &) {
        }
    }

    void checkAll()
    {
        if (m_root.isEmpty())
            throw UpdaterFailure(QStringLiteral("The download's bundle can't be read") + kTail);
        QStringList files;
        QDirIterator it(m_root + QStringLiteral("/Contents"), QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!relative(path).startsWith(QLatin1String("Contents/_CodeSignature/")))
                files.append(path);
        }
        // The same order every time, so the same bundle gets the same sentence.
        files.sort();
        collectProgramRunPaths(files);
        for (const QString &path : files)
            checkFile(path);
        checkSymbols(files);
    }

private:
    QString relative(const QString &path) const { return path.mid(m_root.size() + 1); }

    bool inside(const QString &canonical) const { return canonical == m_root || canonical.startsWith(m_root + u'/'); }

    bool sameKind(const Elf::Info &info) const
    {
        return m_self.bits == 0 || (info.bits == m_self.bits && info.machine == m_self.machine && info.bigEndian == m_self.bigEndian);
    }

    static QString kind(const Elf::Info &info) { return QStringLiteral("%1 (%2-bit)").arg(info.machineName()).arg(info.bits); }

    void checkFile(const QString &path)
    {
        std::optional<Elf::Info> info;
        try {
            info = Elf::readFile(path);
        } catch (const Elf::ElfError &e) {
            throw UpdaterFailure(QStringLiteral("The download's %1 can't be read as a program or library: %2")
                                     .arg(relative(path), QString::fromUtf8(e.what()))
                                 + kTail);
        }
        if (!info || !info->dynamic)
            return;
        if (!sameKind(*info))
            throw UpdaterFailure(QStringLiteral("The download's %1 is built for %2, and this computer is %3")
                                     .arg(relative(path), kind(*info), kind(m_self))
                                 + kTail);
        const QString folder = QFileInfo(path).absolutePath();
        QHash<QByteArray, const Library *> providers;
        for (const QByteArray &name : info->needed) {
            const Library *lib = find(name, *info, folder);
            if (!lib)
                throw UpdaterFailure(QStringLiteral("The download's %1 needs %2, which neither the download nor this computer has")
                                         .arg(relative(path), QString::fromUtf8(name))
                                     + kTail);
            providers.insert(name, lib);
        }
        for (const Elf::VersionNeed &need : info->versionNeeds) {
            const Library *lib = providers.value(need.file);
            if (!lib)
                lib = find(need.file, *info, folder);
            if (!lib)
                throw UpdaterFailure(QStringLiteral("The download's %1 needs %2, which neither the download nor this computer has")
                                         .arg(relative(path), QString::fromUtf8(need.file))
                                     + kTail);
            // A library without version definitions only earns a warning
            // from the loader, and so does a missing weak version.
            if (lib->info.versionDefinitions.isEmpty())
                continue;
            for (const Elf::NeededVersion &v : need.versions) {
                if (v.weak || lib->info.versionDefinitions.contains(v.name))
                    continue;
                const QString where = lib->inBundle ? QStringLiteral("the download's %1").arg(relative(lib->path))
                                                    : QStringLiteral("this computer's %1").arg(lib->path);
                throw UpdaterFailure(QStringLiteral("The download's %1 needs %2 of %3, which %4 doesn't define")
                                         .arg(relative(path), QString::fromUtf8(v.name), QString::fromUtf8(need.file), where)
                                     + kTail);
            }
        }
    }

    // Every symbol a file of the download needs must be defined by the
    // objects the loader would load with it: most of the system's base set
    // exports no versions, so an older copy there passes every version
    // check and still lacks what the new file calls. A program's objects
    // are its own breadth-first tree; a library (the updater module, a
    // plugin) is loaded into a program, so the programs' trees count too,
    // with its own. A system library that would bind to a carried copy (the
    // name is loaded from the bundle already) is held to that copy as well.
    // Where the program the bundle names is missing or no ELF file (a
    // script), the process a library is loaded into can't be told: what its
    // own tree and the other programs don't answer is then not held
    // against the download (such a copy fails at start, which the roll-back
    // answers for).
    void checkSymbols(const QStringList &files)
    {
        const QString bin = m_root + QStringLiteral("/Contents/bin/");
        const std::optional<QString> named = Bundle::atPath(m_root).infoString(QStringLiteral("CFBundleExecutable"));
        const bool mainKnown = !named || named->isEmpty() || named->contains(u'/') || loadFile(bin + *named);
        std::map<QString, Scope> programs;
        Scope shared;
        for (const QString &path : files) {
            if (!path.startsWith(bin) || path.indexOf(u'/', bin.size()) >= 0)
                continue;
            if (const Library *program = loadFile(path)) {
                Scope &scope = programs[path];
                loadTree(scope, program);
                for (const Library *lib : scope.order) {
                    if (!shared.order.contains(lib))
                        shared.order.append(lib);
                }
                for (auto it = scope.byName.cbegin(); it != scope.byName.cend(); ++it)
                    shared.byName.insert(it.key(), it.value());
            }
        }
        indexScope(shared);
        QSet<const Library *> heldToCarried;
        for (const QString &path : files) {
            const Library *self = loadFile(path);
            if (!self)
                continue;
            if (!self->symbolsKnown)
                throw UpdaterFailure(QStringLiteral("The download's %1 can't be read as a program or library: %2")
                                         .arg(relative(path), self->symbolsError)
                                     + kTail);
            const auto program = programs.find(path);
            Scope scope = program != programs.end() ? program->second : shared;
            loadTree(scope, self);
            indexScope(scope);
            const bool isProgram = program != programs.end();
            for (const Elf::Symbol &ref : self->info.symbols) {
                if (!ref.defined && !ref.weak && !answered(scope, ref) && (isProgram || mainKnown))
                    throw UpdaterFailure(QStringLiteral("The download's %1 needs the symbol %2, which none of the libraries it would load defines")
                                             .arg(relative(self->path), referenceText(ref))
                                         + kTail);
            }
            for (const Library *lib : scope.order) {
                if (!lib->inBundle && !heldToCarried.contains(lib) && checkHostLibrary(*lib, scope))
                    heldToCarried.insert(lib);
            }
        }
    }

    // Holds a system library to the carried copies it would bind to in
    // scope; false when it binds to none.
    bool checkHostLibrary(const Library &host, const Scope &scope)
    {
        const Library *carried = nullptr;
        for (const QByteArray &name : host.info.needed) {
            const Library *bound = scope.byName.value(name);
            if (bound && bound->inBundle) {
                carried = bound;
                break;
            }
        }
        if (!carried)
            return false;
        for (const Elf::VersionNeed &need : host.info.versionNeeds) {
            const Library *bound = scope.byName.value(need.file);
            if (!bound || !bound->inBundle || bound->info.versionDefinitions.isEmpty())
                continue;
            for (const Elf::NeededVersion &v : need.versions) {
                if (!v.weak && !bound->info.versionDefinitions.contains(v.name))
                    throw UpdaterFailure(QStringLiteral("This computer's %1 needs %2 of %3, which the download's %4 doesn't define")
                                             .arg(host.path, QString::fromUtf8(v.name), QString::fromUtf8(need.file), relative(bound->path))
                                         + kTail);
            }
        }
        for (const Elf::Symbol &ref : host.info.symbols) {
            if (!ref.defined && !ref.weak && !answered(scope, ref))
                throw UpdaterFailure(QStringLiteral("This computer's %1 would use the download's %2 and needs the symbol %3, "
                                                    "which none of the libraries it would load defines")
                                         .arg(host.path, relative(carried->path), referenceText(ref))
                                     + kTail);
        }
        return true;
    }

    // Adds root and what it needs, breadth first, to scope.
    void loadTree(Scope &scope, const Library *root)
    {
        qsizetype next = scope.order.indexOf(root);
        if (next < 0) {
            next = scope.order.size();
            scope.order.append(root);
        }
        for (; next < scope.order.size(); ++next) {
            const Library *object = scope.order[next];
            const QString folder = QFileInfo(object->path).absolutePath();
            for (const QByteArray &name : object->info.needed) {
                if (scope.byName.contains(name))
                    continue;
                const Library *lib = find(name, object->info, folder);
                if (!lib)
                    continue; // a system library's own gap; the download's were named already
                scope.byName.insert(name, lib);
                if (lib->info.soname && !scope.byName.contains(*lib->info.soname))
                    scope.byName.insert(*lib->info.soname, lib);
                if (!scope.order.contains(lib))
                    scope.order.append(lib);
            }
        }
    }

    static void indexScope(Scope &scope)
    {
        for (; scope.indexed < scope.order.size(); ++scope.indexed) {
            const Library *lib = scope.order[scope.indexed];
            scope.unknownSymbols = scope.unknownSymbols || !lib->symbolsKnown;
            for (auto it = lib->definitions.cbegin(); it != lib->definitions.cend(); ++it) {
                if (!scope.index.contains(it.key(), lib))
                    scope.index.insert(it.key(), lib);
            }
        }
    }

    static bool answered(const Scope &scope, const Elf::Symbol &ref)
    {
        if (scope.unknownSymbols)
            return true;
        for (auto it = scope.index.constFind(ref.name); it != scope.index.cend() && it.key() == ref.name; ++it) {
            if (answers(**it, ref))
                return true;
        }
        return false;
    }

    // A file of the download as a loaded object, when it is a dynamic one
    // of this computer's kind.
    const Library *loadFile(const QString &path)
    {
        const Library *lib = load(path, true);
        return lib && lib->info.dynamic ? lib : nullptr;
    }

    // A library without DT_RUNPATH is also looked up through the DT_RPATH of
    // the program that loads it, as the loader does. The updater module
    // relies on that: it is opened through a descriptor, where $ORIGIN would
    // name /proc/self/fd, so it carries no run path of its own and takes the
    // program's. Any program of the bundle may be the one, so each counts.
    void collectProgramRunPaths(const QStringList &files)
    {
        const QString bin = m_root + QStringLiteral("/Contents/bin/");
        for (const QString &path : files) {
            if (!path.startsWith(bin) || path.indexOf(u'/', bin.size()) >= 0)
                continue;
            std::optional<Elf::Info> info;
            try {
                info = Elf::readFile(path);
            } catch (const Elf::ElfError &) {
                continue; // the file's own check says why
            }
            if (!info || !info->dynamic || !info->runpath.isEmpty() || !sameKind(*info))
                continue;
            for (const QString &dir : runPathFolders(*info, QFileInfo(path).absolutePath())) {
                if (!m_programFolders.contains(dir))
                    m_programFolders.append(dir);
            }
        }
    }

    // The run path folders of a file, as the loader reads them: DT_RUNPATH
    // when there is one, else DT_RPATH; $ORIGIN is the file's folder.
    // Only folders inside the bundle count: the bundle answers for itself,
    // the system for its own folders.
    QStringList runPathFolders(const Elf::Info &info, const QString &origin) const
    {
        QStringList folders;
        for (const QByteArray &entry : info.runpath.isEmpty() ? info.rpath : info.runpath) {
            QString dir = QFile::decodeName(entry);
            dir.replace(QLatin1String("${ORIGIN}"), origin);
            dir.replace(QLatin1String("$ORIGIN"), origin);
            if (!dir.startsWith(u'/') || dir.contains(u'$'))
                continue;
            const QString canonical = QFileInfo(dir).canonicalFilePath();
            if (!canonical.isEmpty() && inside(canonical))
                folders.append(canonical);
        }
        return folders;
    }

    const Library *find(const QByteArray &name, const Elf::Info &of, const QString &origin)
    {
        const QString file = QFile::decodeName(name);
        if (file.contains(u'/'))
            return file.startsWith(u'/') ? load(file, false) : nullptr;
        for (const QString &dir : runPathFolders(of, origin)) {
            if (const Library *lib = load(dir + u'/' + file, true))
                return lib;
        }
        if (of.runpath.isEmpty()) {
            for (const QString &dir : m_programFolders) {
                if (const Library *lib = load(dir + u'/' + file, true))
                    return lib;
            }
        }
        for (const QString &dir : m_system) {
            if (const Library *lib = load(dir + u'/' + file, false))
                return lib;
        }
        return nullptr;
    }

    // The library at path when it is one this process's loader would take.
    const Library *load(const QString &path, bool fromBundle)
    {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (canonical.isEmpty() || !QFileInfo(canonical).isFile())
            return nullptr;
        if (fromBundle && !inside(canonical))
            return nullptr;
        auto cached = m_libraries.find(canonical);
        if (cached == m_libraries.end()) {
            std::optional<Library> lib;
            try {
                std::optional<Elf::Info> info;
                QString symbolsError;
                try {
                    info = Elf::readFile(canonical, Elf::Detail::Symbols);
                } catch (const Elf::ElfError &e) {
                    symbolsError = QString::fromUtf8(e.what());
                    info = Elf::readFile(canonical);
                }
                if (info && sameKind(*info)) {
                    lib = Library{canonical, std::move(*info), inside(canonical), symbolsError.isEmpty(), symbolsError, {}};
                    for (const Elf::Symbol &sym : lib->info.symbols) {
                        if (sym.defined)
                            lib->definitions.insert(sym.name, {sym.version, sym.hidden});
                    }
                }
            } catch (const Elf::ElfError &) {
                // The loader would pass over it too.
            }
            cached = m_libraries.emplace(canonical, std::move(lib)).first;
        }
        return cached->second ? &*cached->second : nullptr;
    }

    QString m_root;
    QStringList m_system;
    Elf::Info m_self;
    QStringList m_programFolders; // the programs' DT_RPATH folders in the bundle
    // A map, not a hash: the checks hold pointers to its values.
    std::map<QString, std::optional<Library>> m_libraries;
};

} // namespace

QStringList systemLibraryFolders(const QString &config)
{
    QStringList folders;
    QSet<QString> seen;
    readConfig(config, folders, seen, 0);
    const QString libc = loadedLibraryPath(QStringLiteral("libc.so.6"));
    if (!libc.isEmpty())
        folders.append(QFileInfo(libc).absolutePath());
    folders << QStringLiteral("/lib64") << QStringLiteral("/usr/lib64") << QStringLiteral("/lib") << QStringLiteral("/usr/lib");
    QStringList existing;
    for (const QString &f : folders) {
        if (!existing.contains(f) && QFileInfo(f).isDir())
            existing.append(f);
    }
    return existing;
}

void check(const QString &bundle, QStringList systemFolders)
{
    if (systemFolders.isEmpty())
        systemFolders = systemLibraryFolders();
    Checker(bundle, std::move(systemFolders)).checkAll();
}

} // namespace Loadability
