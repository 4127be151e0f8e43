// The ELF reader on real files (this build's own program and module, the
// system's libraries), checked against what readelf says of them, and on
// truncated and damaged copies, which give reasons, never a crash.
#include "platform/DottedVersion.h"
#include "platform/ElfFile.h"
#include "platform/SystemProfile.h"
#include "support/ElfEdits.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <cstring>

#include <gnu/libc-version.h>
#include <sys/utsname.h>

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What readelf reads from a file, in the reader's terms.
Elf::Info readelf(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("readelf"), {QStringLiteral("--wide"), QStringLiteral("-d"), QStringLiteral("-V"), path});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        qFatal("readelf failed on %s", qPrintable(path));
    Elf::Info info;
    static const QRegularExpression bracket(QStringLiteral("\\[(.*)\\]"));
    static const QRegularExpression needFile(QStringLiteral("^\\s*[0-9a-fx]+: Version: \\d+\\s+File: (\\S+)"));
    static const QRegularExpression needName(QStringLiteral("^\\s*0x[0-9a-f]+:\\s+Name: (\\S+)\\s+Flags: (\\S+)"));
    static const QRegularExpression defName(QStringLiteral("^\\s*0x[0-9a-f]+: Rev: \\d+\\s+Flags: (\\S+)\\s+Index: \\d+\\s+Cnt: \\d+\\s+Name: (\\S+)"));
    enum { None, Needs, Defs } section = None;
    for (const QByteArray &raw : p.readAllStandardOutput().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith(QLatin1String("Version needs section")))
            section = Needs;
        else if (line.startsWith(QLatin1String("Version definition section")))
            section = Defs;
        else if (line.startsWith(QLatin1String("Version symbols section")))
            section = None;
        const QByteArray inBrackets = bracket.match(line).captured(1).toUtf8();
        if (line.contains(QLatin1String("(NEEDED)")))
            info.needed << inBrackets;
        else if (line.contains(QLatin1String("(SONAME)")))
            info.soname = inBrackets;
        else if (line.contains(QLatin1String("(RUNPATH)")))
            info.runpath += inBrackets.split(':');
        else if (line.contains(QLatin1String("(RPATH)")))
            info.rpath += inBrackets.split(':');
        if (section == Needs) {
            if (const auto m = needFile.match(line); m.hasMatch())
                info.versionNeeds.append({m.captured(1).toUtf8(), {}});
            else if (const auto n = needName.match(line); n.hasMatch())
                info.versionNeeds.last().versions.append({n.captured(1).toUtf8(), n.captured(2).contains(QLatin1String("WEAK"))});
        } else if (section == Defs) {
            // The entry naming the file itself says BASE ("0x0000" on the first line too).
            const QString trimmed = line.trimmed();
            const auto m = defName.match(trimmed.startsWith(QLatin1String("000000")) ? QStringLiteral("0x") + trimmed : line);
            if (m.hasMatch() && !m.captured(1).contains(QLatin1String("BASE")))
                info.versionDefinitions << m.captured(2).toUtf8();
        }
    }
    return info;
}

QString unameMachine()
{
    utsname u{};
    ::uname(&u);
    return QString::fromLatin1(u.machine);
}

// The offset of the first program header of type type in a 64-bit
// little-endian file; 0 when there is none.
quint64 programHeader(const QByteArray &bytes, quint32 type)
{
    quint64 phoff;
    quint16 phentsize, phnum;
    std::memcpy(&phoff, bytes.constData() + 32, 8);
    std::memcpy(&phentsize, bytes.constData() + 54, 2);
    std::memcpy(&phnum, bytes.constData() + 56, 2);
    for (quint16 i = 0; i < phnum; ++i) {
        quint32 t;
        std::memcpy(&t, bytes.constData() + phoff + quint64(i) * phentsize, 4);
        if (t == type)
            return phoff + quint64(i) * phentsize;
    }
    return 0;
}

template <typename T>
void put(QByteArray &bytes, quint64 offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// The dynamic symbols readelf lists, as the reader keeps them: one line of
// name, version and kind each, in the table's order.
QStringList readelfSymbols(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("readelf"), {QStringLiteral("--wide"), QStringLiteral("--dyn-syms"), path});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        qFatal("readelf failed on %s", qPrintable(path));
    QStringList out;
    bool inDynsym = false;
    for (const QByteArray &raw : p.readAllStandardOutput().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith(QLatin1String("Symbol table")))
            inDynsym = line.contains(QLatin1String("'.dynsym'"));
        const QStringList f = line.simplified().split(u' ');
        if (!inDynsym || f.size() < 8 || !f[0].endsWith(u':') || f[0] == QLatin1String("Num:"))
            continue;
        const QString &type = f[3], &bind = f[4], &ndx = f[6];
        QString name = f[7];
        const bool defined = ndx != QLatin1String("UND");
        if (!(bind == QLatin1String("GLOBAL") || bind == QLatin1String("WEAK") || bind == QLatin1String("UNIQUE"))
            || type == QLatin1String("SECTION") || type == QLatin1String("FILE") || name.isEmpty())
            continue;
        if (defined && f[1].toULongLong(nullptr, 16) == 0 && type != QLatin1String("TLS"))
            continue;
        QString version;
        bool hidden = false;
        if (const qsizetype at = name.indexOf(u'@'); at > 0) {
            hidden = name.mid(at, 2) != QLatin1String("@@");
            version = name.mid(at + (hidden ? 1 : 2));
            name.truncate(at);
        }
        out << QStringLiteral("%1 %2 %3 %4 %5").arg(name, version, defined ? QStringLiteral("def") : QStringLiteral("ref"),
                                                    bind == QLatin1String("WEAK") ? QStringLiteral("weak") : QStringLiteral("strong"),
                                                    defined && hidden ? QStringLiteral("hidden") : QString());
    }
    return out;
}

// A 64-bit little-endian library made by hand: one segment loading the
// whole file, a dynamic section with the given entries, then the string
// table and whatever tail follows it (offsets in the entries count from the
// table's start when relative is set).
QByteArray craftedLibrary(const QList<QPair<quint64, quint64>> &entries, const QByteArray &strings, const QByteArray &tail,
                          QList<int> tailRelative)
{
    const quint64 dynamicAt = 64 + 2 * 56;
    const quint64 dynamicSize = quint64(entries.size() + 3) * 16;
    const quint64 stringsAt = dynamicAt + dynamicSize;
    const quint64 tailAt = stringsAt + quint64(strings.size());
    QByteArray bytes(qsizetype(tailAt) + tail.size(), '\0');
    bytes.replace(0, 7, QByteArray("\x7f" "ELF\x02\x01\x01", 7));
    put<quint16>(bytes, 16, 3);  // ET_DYN
    put<quint16>(bytes, 18, 62); // x86-64
    put<quint32>(bytes, 20, 1);
    put<quint64>(bytes, 32, 64); // program headers
    put<quint16>(bytes, 52, 64);
    put<quint16>(bytes, 54, 56);
    put<quint16>(bytes, 56, 2);
    put<quint32>(bytes, 64, 1); // PT_LOAD of everything at address 0
    put<quint64>(bytes, 64 + 32, quint64(bytes.size()));
    put<quint32>(bytes, 120, 2); // PT_DYNAMIC
    put<quint64>(bytes, 120 + 8, dynamicAt);
    put<quint64>(bytes, 120 + 16, dynamicAt);
    put<quint64>(bytes, 120 + 32, dynamicSize);
    quint64 at = dynamicAt;
    QList<QPair<quint64, quint64>> all{{5, stringsAt}, {10, quint64(strings.size())}};
    for (int i = 0; i < entries.size(); ++i)
        all.append({entries[i].first, entries[i].second + (tailRelative.contains(i) ? tailAt : 0)});
    for (const auto &[tag, value] : all) {
        put<quint64>(bytes, at, tag);
        put<quint64>(bytes, at + 8, value);
        at += 16;
    }
    bytes.replace(qsizetype(stringsAt), strings.size(), strings);
    bytes.replace(qsizetype(tailAt), tail.size(), tail);
    return bytes;
}

} // namespace

class tst_ElfFile : public QObject {
    Q_OBJECT
    const QString m_program = QStringLiteral(FW_BUNDLE_DIR "/Contents/bin/Ferrowhistle");
    const QString m_module = QStringLiteral(FW_BUNDLE_DIR "/Contents/lib/ferrowhistle-updater.so");

private Q_SLOTS:
    void agreesWithReadelf_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("the app") << m_program;
        QTest::newRow("the updater module") << m_module;
        QTest::newRow("this test") << QCoreApplication::applicationFilePath();
        QTest::newRow("C library") << loadedLibraryPath(QStringLiteral("libc.so.6"));
        QTest::newRow("C++ library") << loadedLibraryPath(QStringLiteral("libstdc++.so.6"));
        QTest::newRow("Qt Core") << loadedLibraryPath(QStringLiteral("libQt6Core.so.6"));
        QTest::newRow("the loader") << loadedLibraryPath(QStringLiteral("ld-linux"));
    }
    void agreesWithReadelf()
    {
        QFETCH(QString, path);
        QVERIFY2(!path.isEmpty() && QFileInfo(path).isFile(), qPrintable(path));
        const std::optional<Elf::Info> info = Elf::readFile(path);
        QVERIFY(info);
        const Elf::Info expected = readelf(path);
        QCOMPARE(info->needed, expected.needed);
        QCOMPARE(info->soname, expected.soname);
        QCOMPARE(info->runpath, expected.runpath);
        QCOMPARE(info->rpath, expected.rpath);
        QCOMPARE(info->versionNeeds, expected.versionNeeds);
        QCOMPARE(info->versionDefinitions, expected.versionDefinitions);
        QVERIFY(info->dynamic);
        QCOMPARE(info->bits, int(sizeof(void *) * 8));
        QCOMPARE(info->machineName(), unameMachine());
        // Reading the same bytes from memory gives the same.
        const Elf::Info fromMemory = Elf::parse(fileBytes(path));
        QCOMPARE(fromMemory.needed, info->needed);
        QCOMPARE(fromMemory.versionNeeds, info->versionNeeds);

        // Its dynamic symbols, with their versions.
        const Elf::Info withSymbols = *Elf::readFile(path, Elf::Detail::Symbols);
        QCOMPARE(withSymbols.needed, info->needed);
        QStringList symbols;
        for (const Elf::Symbol &sym : withSymbols.symbols)
            symbols << QStringLiteral("%1 %2 %3 %4 %5")
                           .arg(QString::fromUtf8(sym.name), QString::fromUtf8(sym.version),
                                sym.defined ? QStringLiteral("def") : QStringLiteral("ref"),
                                sym.weak ? QStringLiteral("weak") : QStringLiteral("strong"),
                                sym.defined && sym.hidden ? QStringLiteral("hidden") : QString());
        QVERIFY(!symbols.isEmpty());
        QCOMPARE(symbols, readelfSymbols(path));
    }

    void theRuntimeVersionsOfThisProcess()
    {
        const SystemProfile profile = SystemProfile::running();
        QCOMPARE(profile.machine, unameMachine());
        QCOMPARE(profile.glibcVersion, QString::fromLatin1(gnu_get_libc_version()));
        // The loaded C++ library defines at least every version this test
        // needs of it, or the test would not have started.
        const auto self = Elf::readFile(QCoreApplication::applicationFilePath());
        QList<QByteArray> needed;
        for (const Elf::VersionNeed &n : self->versionNeeds)
            for (const Elf::NeededVersion &v : n.versions)
                needed << v.name;
        const std::optional<QString> cxxNeeded = Elf::highestVersion(needed, "GLIBCXX_");
        const std::optional<QString> cNeeded = Elf::highestVersion(needed, "GLIBC_");
        QVERIFY(cxxNeeded && cNeeded && profile.libstdcxxVersion);
        QVERIFY2(*DottedVersion::parse(*profile.libstdcxxVersion) >= *DottedVersion::parse(*cxxNeeded),
                 qPrintable(*profile.libstdcxxVersion + u' ' + *cxxNeeded));
        QVERIFY(*DottedVersion::parse(profile.glibcVersion) >= *DottedVersion::parse(*cNeeded));
    }

    void highestVersionReadsOnlyDottedNumbers()
    {
        const QList<QByteArray> names{"GLIBC_2.2.5", "GLIBC_2.34", "GLIBC_2.4", "GLIBC_PRIVATE", "GLIBCXX_3.4.30",
                                      "GLIBC_2.34.", "GLIBC_", "CXXABI_1.3.13", "GLIBC_2.10"};
        QCOMPARE(Elf::highestVersion(names, "GLIBC_"), QStringLiteral("2.34"));
        QCOMPARE(Elf::highestVersion(names, "GLIBCXX_"), QStringLiteral("3.4.30"));
        QCOMPARE(Elf::highestVersion(names, "GLIBCPP_"), std::nullopt);
        QVERIFY(*DottedVersion::parse(u"2.10") > *DottedVersion::parse(u"2.9"));
        QVERIFY(*DottedVersion::parse(u"2.38") == *DottedVersion::parse(u"2.38.0"));
        for (const char16_t *bad : {u"", u"2.", u".2", u"2..3", u"v2", u"2.3-rc1", u" 2.3", u"+2", u"99999999999999999999"})
            QVERIFY2(!DottedVersion::parse(bad), qPrintable(QString::fromUtf16(bad)));
    }

    void filesThatAreNotElfAreNothing()
    {
        QTemporaryDir dir;
        QFile text(dir.filePath(QStringLiteral("script")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("#!/bin/sh\nexit 0\n");
        text.close();
        QCOMPARE(Elf::readFile(text.fileName()), std::nullopt);
        QCOMPARE(Elf::readFile(dir.path()), std::nullopt);
        QFile empty(dir.filePath(QStringLiteral("empty")));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QCOMPARE(Elf::readFile(empty.fileName()), std::nullopt);
        QVERIFY_THROWS_EXCEPTION(Elf::ElfError, Elf::readFile(dir.filePath(QStringLiteral("missing"))));
    }

    void damagedCopiesGiveReasons_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("reason");
        QTest::newRow("cut inside the header") << "cut 40" << "ELF header lies outside the file";
        QTest::newRow("cut after the magic") << "cut 5" << "ends inside its ELF header";
        QTest::newRow("no such class") << "class" << "ELF class (3)";
        QTest::newRow("no such byte order") << "data" << "byte order (7)";
        QTest::newRow("program headers far away") << "phoff" << "program header table lies outside the file";
        QTest::newRow("program headers too small") << "phentsize" << "program headers are too small";
        QTest::newRow("dynamic segment past the end") << "dynamic size" << "segment lies outside the file";
        QTest::newRow("cut inside the dynamic segment") << "cut dynamic" << "segment lies outside the file";
        QTest::newRow("no loaded segments") << "no loads" << "lies outside what it loads";
    }
    void damagedCopiesGiveReasons()
    {
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        QByteArray bytes = fileBytes(m_program);
        if (bytes[4] != 2 || bytes[5] != 1)
            QSKIP("the damages are placed for a 64-bit little-endian build");
        const quint64 dynamic = programHeader(bytes, 2);
        QVERIFY(dynamic);
        if (damage.startsWith(QLatin1String("cut ")) && damage != QLatin1String("cut dynamic")) {
            bytes.truncate(damage.mid(4).toInt());
        } else if (damage == QLatin1String("class")) {
            bytes[4] = 3;
        } else if (damage == QLatin1String("data")) {
            bytes[5] = 7;
        } else if (damage == QLatin1String("phoff")) {
            put<quint64>(bytes, 32, ~quint64(0) - 8);
        } else if (damage == QLatin1String("phentsize")) {
            put<quint16>(bytes, 54, 8);
        } else if (damage == QLatin1String("dynamic size")) {
            put<quint64>(bytes, dynamic + 32, quint64(bytes.size()));
        } else if (damage == QLatin1String("cut dynamic")) {
            quint64 offset;
            std::memcpy(&offset, bytes.constData() + dynamic + 8, 8);
            bytes.truncate(qsizetype(offset + 8));
        } else if (damage == QLatin1String("no loads")) {
            while (const quint64 load = programHeader(bytes, 1))
                put<quint32>(bytes, load, 0x6474e551); // GNU_STACK: loads nothing
        }
        try {
            Elf::parse(bytes);
            QFAIL("read");
        } catch (const Elf::ElfError &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(reason), e.what());
        }
    }

    // Entries that all lead to the same names or chain: the work of reading
    // them must stay within what the file holds, not its square.
    void sharedEntriesCostNoMoreThanTheFile_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("reason");
        QTest::newRow("version needs sharing one chain") << "verneed" << "version needs have more entries than the file holds";
        QTest::newRow("needed libraries sharing one long name") << "needed" << "names add up to more than the file holds";
    }
    void sharedEntriesCostNoMoreThanTheFile()
    {
        QFETCH(QString, shape);
        QFETCH(QString, reason);
        const QByteArray strings = QByteArray(1, '\0') + "libc.so.6" + '\0' + "GLIBC_2.2.5" + '\0';
        constexpr int kNeeds = 2048;
        QByteArray bytes;
        if (shape == u"verneed") {
            // kNeeds needs, each claiming the same chain of kNeeds versions.
            QByteArray tail(2 * kNeeds * 16, '\0');
            for (int i = 0; i < kNeeds; ++i) {
                const quint64 need = quint64(i) * 16;
                put<quint16>(tail, need, 1);
                put<quint16>(tail, need + 2, 0xffff);
                put<quint32>(tail, need + 4, 1);
                put<quint32>(tail, need + 8, quint32(kNeeds * 16 - need));
                put<quint32>(tail, need + 12, i + 1 < kNeeds ? 16 : 0);
                const quint64 aux = quint64(kNeeds + i) * 16;
                put<quint32>(tail, aux + 8, 11);
                put<quint32>(tail, aux + 12, i + 1 < kNeeds ? 16 : 0);
            }
            bytes = craftedLibrary({{0x6ffffffe, 0}}, strings, tail, {0});
        } else {
            // Dynamic entries all naming one name as long as the rest of the file.
            QByteArray longName(kNeeds * 16, 'l');
            longName += '\0';
            QList<QPair<quint64, quint64>> entries;
            for (int i = 0; i < kNeeds; ++i)
                entries.append({1, quint64(strings.size())});
            bytes = craftedLibrary(entries, strings + longName, {}, {});
        }
        try {
            const Elf::Info info = Elf::parse(bytes);
            QFAIL(qPrintable(QStringLiteral("read %1 needs").arg(info.versionNeeds.size() + info.needed.size())));
        } catch (const Elf::ElfError &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(reason), e.what());
        }
    }

    // Every cut of the headers and the dynamic data, and random damage all
    // over: a reason or a reading, never a read outside the bytes (which the
    // sanitizer build and the fuzz target see too).
    void anyDamageIsSurvived()
    {
        // A small program, so that every cut can be tried.
        const QByteArray whole = fileBytes(smallSystemProgram());
        QVERIFY(Elf::hasElfMagic(whole));
        const std::optional<Elf::Info> intact = Elf::parse(whole);
        int reasons = 0;
        for (qsizetype n = 0; n < whole.size(); ++n) {
            // A copy of its own, so a read past the cut is a read past the allocation.
            const QByteArray cut(whole.constData(), n);
            try {
                Elf::parse(cut);
            } catch (const Elf::ElfError &) {
                ++reasons;
            }
        }
        QVERIFY(reasons > 0);
        QRandomGenerator random(31);
        for (int round = 0; round < 3000; ++round) {
            QByteArray copy = whole;
            for (int flips = 0; flips < 8; ++flips) {
                // Mostly where the headers, names and versions are.
                const qsizetype room = flips < 6 ? qMin<qsizetype>(copy.size(), 4096) : copy.size();
                const qsizetype at = qsizetype(random.bounded(quint32(room)));
                copy[at] = char(random.bounded(256));
            }
            try {
                Elf::parse(copy);
            } catch (const Elf::ElfError &) {
            }
        }
        QCOMPARE(Elf::parse(whole).needed, intact->needed);
    }
};

QTEST_GUILESS_MAIN(tst_ElfFile)
#include "tst_ElfFile.moc"
