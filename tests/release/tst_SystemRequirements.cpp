// What a release needs of the computer, held against computers of every
// kind (the profile is the seam: machine, C library, C++ library), and what
// a bundle's files add up to.
#include "platform/ElfFile.h"
#include "release/SystemRequirements.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

#include <sys/utsname.h>

class tst_SystemRequirements : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void machinesAndRequirements_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<QString>("glibc");
        QTest::addColumn<QString>("libstdcxx"); // empty: not known
        QTest::addColumn<QString>("needs");     // architecture;glibc;libstdcxx, empty parts absent
        QTest::addColumn<QString>("sentence");  // empty: met
        const QString newer = QStringLiteral("Ferrowhistle 2.0 needs a newer system (");
        QTest::newRow("nothing asked") << "x86_64" << "2.36" << "3.4.30" << ";;" << "";
        QTest::newRow("all met exactly") << "x86_64" << "2.36" << "3.4.30" << "x86_64;2.36;3.4.30" << "";
        QTest::newRow("older asked") << "x86_64" << "2.36" << "3.4.30" << "x86_64;2.17;3.4.21" << "";
        QTest::newRow("trailing zero") << "x86_64" << "2.36" << "3.4.30" << ";2.36.0;3.4.30.0" << "";
        QTest::newRow("2.4 is below 2.36") << "x86_64" << "2.36" << "3.4.30" << ";2.4;" << "";
        QTest::newRow("newer C library") << "x86_64" << "2.36" << "3.4.30" << ";2.38;"
                                         << newer + "GNU C library 2.38; this computer has 2.36).";
        QTest::newRow("far newer C library") << "aarch64" << "2.36" << "3.4.30" << "aarch64;99.0;"
                                             << newer + "GNU C library 99.0; this computer has 2.36).";
        QTest::newRow("2.100 is above 2.36") << "x86_64" << "2.36" << "3.4.30" << ";2.100;"
                                             << newer + "GNU C library 2.100; this computer has 2.36).";
        QTest::newRow("newer C++ library") << "x86_64" << "2.36" << "3.4.30" << ";2.34;3.4.32"
                                           << newer + "GNU C++ library 3.4.32; this computer has 3.4.30).";
        QTest::newRow("C++ library unknown") << "x86_64" << "2.36" << "" << ";;3.4.99" << "";
        QTest::newRow("another machine") << "x86_64" << "2.36" << "3.4.30" << "aarch64;2.17;"
                                         << "Ferrowhistle 2.0 needs another kind of computer (aarch64; this computer is x86_64).";
        QTest::newRow("machine first") << "aarch64" << "2.31" << "3.4.28" << "x86_64;2.38;3.4.32"
                                       << "Ferrowhistle 2.0 needs another kind of computer (x86_64; this computer is aarch64).";
        QTest::newRow("C before C++") << "x86_64" << "2.31" << "3.4.28" << "x86_64;2.38;3.4.32"
                                      << newer + "GNU C library 2.38; this computer has 2.31).";
        QTest::newRow("one 32-bit x86") << "i586" << "2.36" << "3.4.30" << "i686;;" << "";
        QTest::newRow("one 32-bit ARM") << "armv8l" << "2.36" << "3.4.30" << "armv7l;;" << "";
        QTest::newRow("names match exactly") << "x86_64" << "2.36" << "3.4.30" << "X86_64;;"
                                             << "Ferrowhistle 2.0 needs another kind of computer (X86_64; this computer is x86_64).";
    }
    void machinesAndRequirements()
    {
        QFETCH(QString, machine);
        QFETCH(QString, glibc);
        QFETCH(QString, libstdcxx);
        QFETCH(QString, needs);
        QFETCH(QString, sentence);
        const SystemProfile profile{machine, glibc, libstdcxx.isEmpty() ? std::nullopt : std::optional<QString>(libstdcxx)};
        Release release;
        release.version = QStringLiteral("2.0");
        const QStringList parts = needs.split(u';');
        const auto part = [&](int i) { return parts[i].isEmpty() ? std::nullopt : std::optional<QString>(parts[i]); };
        release.architecture = part(0);
        release.minimumGlibcVersion = part(1);
        release.minimumLibstdcxxVersion = part(2);
        QCOMPARE(SystemRequirements::hasAny(release), needs != QLatin1String(";;"));
        QCOMPARE(SystemRequirements::unmet(release, profile).value_or(QString()), sentence);
    }

    void aBundleNeedsTheMostAnyFileNeeds()
    {
        const auto file = [](quint16 machine, QList<QByteArray> versions) {
            Elf::Info info;
            info.bits = 64;
            info.machine = machine;
            Elf::VersionNeed need{"libc.so.6", {}};
            for (const QByteArray &v : versions)
                need.versions.append({v, false});
            info.versionNeeds.append(need);
            return info;
        };
        SystemRequirements::Needs needs;
        SystemRequirements::add(needs, "Contents/bin/Ferrowhistle", file(62, {"GLIBC_2.2.5", "GLIBC_2.34", "GLIBCXX_3.4.29"}), true);
        SystemRequirements::add(needs, "Contents/bin/ferrowhistle-assess", file(62, {"GLIBC_2.4", "GLIBCXX_3.4.9"}), true);
        SystemRequirements::add(needs, "Contents/lib/libQt6Core.so.6", file(62, {"GLIBC_2.35", "GLIBC_PRIVATE", "GLIBCXX_3.4.30"}), false);
        QCOMPARE(needs.architecture, "x86_64");
        QCOMPARE(needs.glibc, "2.35");
        QCOMPARE(needs.libstdcxx, "3.4.30");
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, SystemRequirements::add(needs, "Contents/lib/libx.so", file(183, {}), false));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, SystemRequirements::add(needs, "Contents/bin/other", file(183, {}), true));

        SystemRequirements::Needs none; // files that need no versions add none
        SystemRequirements::add(none, "Contents/bin/static", Elf::Info{}, true);
        QVERIFY(!none.glibc && !none.libstdcxx);
    }

    // A 32-bit userland on a 64-bit kernel: uname names the kernel's machine,
    // the releases that run here are those built like the running program.
    void theMachineIsTheProgramsNotTheKernels_data()
    {
        QTest::addColumn<QString>("architecture");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("same as the program") << "armv7l" << "";
        QTest::newRow("another 32-bit ARM name") << "armv8l" << "";
        QTest::newRow("the kernel's") << "aarch64"
                                     << "Ferrowhistle 2.0 needs another kind of computer (aarch64; this computer is armv7l).";
        QTest::newRow("this test's") << "x86_64"
                                     << "Ferrowhistle 2.0 needs another kind of computer (x86_64; this computer is armv7l).";
    }
    void theMachineIsTheProgramsNotTheKernels()
    {
        QFETCH(QString, architecture);
        QFETCH(QString, sentence);
        // An ELF header of a 32-bit little-endian ARM program (EM_ARM, 40).
        QByteArray header(52, '\0');
        header.replace(0, 7, QByteArray("\x7f" "ELF\x01\x01\x01", 7));
        header[16] = 2;  // ET_EXEC
        header[18] = 40; // EM_ARM
        header[20] = 1;  // EV_CURRENT
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString program = dir.filePath(QStringLiteral("armhf-program"));
        QFile f(program);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(header) == header.size());
        f.close();

        const SystemProfile profile = SystemProfile::of(program);
        QCOMPARE(profile.machine, QStringLiteral("armv7l"));
        Release release;
        release.version = QStringLiteral("2.0");
        release.architecture = architecture;
        QCOMPARE(SystemRequirements::unmet(release, profile).value_or(QString()), sentence);
    }

    // Without a readable program, the kernel's name stands in.
    void aProgramThatDoesNotReadFallsBackToTheKernel()
    {
        utsname name{};
        QCOMPARE(::uname(&name), 0);
        QCOMPARE(SystemProfile::of(QStringLiteral("/nonexistent/program")).machine, QString::fromLatin1(name.machine));
        QCOMPARE(SystemProfile::running().machine, Elf::readFile(QStringLiteral("/proc/self/exe"))->machineName());
    }
};

QTEST_GUILESS_MAIN(tst_SystemRequirements)
#include "tst_SystemRequirements.moc"
