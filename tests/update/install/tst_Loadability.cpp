// The loadability check of an unpacked candidate, on bundles made of real
// programs and libraries of this system, changed the way a broken release
// would be (patchelf, and a renamed symbol version).
#include "support/ElfEdits.h"

#include "release/UpdaterFailure.h"
#include "update/install/Loadability.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {
const QString kTail = QStringLiteral(", so it wasn't installed.");

QString failure(const QString &bundle, const QStringList &systemFolders = {})
{
    try {
        Loadability::check(bundle, systemFolders);
        return {};
    } catch (const UpdaterFailure &f) {
        return f.message();
    }
}

// Where the system's loader finds name, as the check names it.
QString systemLibrary(const QString &name)
{
    for (const QString &dir : Loadability::systemLibraryFolders()) {
        if (QFileInfo(dir + u'/' + name).isFile())
            return QFileInfo(dir + u'/' + name).canonicalFilePath();
    }
    return {};
}
} // namespace

class tst_Loadability : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    int m_n = 0;
    QString m_true = smallSystemProgram();
    QString m_zlib = systemLibrary(QStringLiteral("libz.so.1"));

    // A fresh bundle with Contents/bin and Contents/lib.
    QString bundle()
    {
        const QString b = m_dir.filePath(QStringLiteral("b%1/Ferrowhistle.app").arg(++m_n));
        QDir().mkpath(b + QStringLiteral("/Contents/bin"));
        QDir().mkpath(b + QStringLiteral("/Contents/lib"));
        return b;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!m_true.isEmpty(), "no /usr/bin/true");
        QVERIFY2(!m_zlib.isEmpty(), "no libz.so.1 on this system");
    }

    void programsAndCarriedLibrariesThatLoad()
    {
        const QString b = bundle();
        QCOMPARE(patchedCopy(m_true, b + QStringLiteral("/Contents/bin/plain"), {}), QString());
        // Needs a library that only the bundle carries, through $ORIGIN.
        QCOMPARE(patchedCopy(m_true, b + QStringLiteral("/Contents/bin/carrier"),
                             {QStringLiteral("--add-needed"), QStringLiteral("libcarried.so.1"), QStringLiteral("--set-rpath"),
                              QStringLiteral("$ORIGIN/../lib")}),
                 QString());
        // The carried library needs the system's C library, and finds a
        // second carried one beside itself through its own $ORIGIN.
        QCOMPARE(patchedCopy(m_zlib, b + QStringLiteral("/Contents/lib/libcarried.so.1"),
                             {QStringLiteral("--add-needed"), QStringLiteral("libbeside.so.1"), QStringLiteral("--set-rpath"),
                              QStringLiteral("$ORIGIN")}),
                 QString());
        QCOMPARE(patchedCopy(m_zlib, b + QStringLiteral("/Contents/lib/libbeside.so.1"), {}), QString());
        QVERIFY(QFile::link(QStringLiteral("libbeside.so.1"), b + QStringLiteral("/Contents/lib/libbeside.so")));
        // Files that are no ELF files are none of its business.
        QFile script(b + QStringLiteral("/Contents/bin/launcher.sh"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nexec true\n");
        script.close();
        QCOMPARE(failure(b), QString());
    }

    // The updater module carries no run path: it is opened through a
    // descriptor, so its libraries come through the program's DT_RPATH, as
    // the loader takes them. The same module beside a program whose run path
    // is a DT_RUNPATH (which the loader does not pass on) can't load.
    void aModuleLoadsThroughTheProgramsRunPath()
    {
        const QStringList module{QStringLiteral("--add-needed"), QStringLiteral("libcarried.so.1")};
        for (const bool inherited : {true, false}) {
            const QString b = bundle();
            QStringList program{QStringLiteral("--set-rpath"), QStringLiteral("$ORIGIN/../lib")};
            if (inherited)
                program.prepend(QStringLiteral("--force-rpath"));
            QCOMPARE(patchedCopy(m_true, b + QStringLiteral("/Contents/bin/Ferrowhistle"), program), QString());
            QCOMPARE(patchedCopy(m_zlib, b + QStringLiteral("/Contents/lib/ferrowhistle-updater.so"), module), QString());
            QCOMPARE(patchedCopy(m_zlib, b + QStringLiteral("/Contents/lib/libcarried.so.1"), {}), QString());
            QCOMPARE(failure(b), inherited ? QString()
                                           : QStringLiteral("The download's Contents/lib/ferrowhistle-updater.so needs libcarried.so.1, "
                                                            "which neither the download nor this computer has")
                                                 + kTail);
        }
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        const QString missing = QStringLiteral(", which neither the download nor this computer has") + kTail;
        QTest::newRow("a library nobody has") << "nobody"
                                              << "The download's Contents/bin/helper needs libferrowhistle-missing.so.1" + missing;
        QTest::newRow("a carried library removed") << "removed" << "The download's Contents/bin/helper needs libcarried.so.1" + missing;
        QTest::newRow("a carried library's own need") << "indirect" << "The download's Contents/lib/libcarried.so.1 needs libgone.so.2" + missing;
        QTest::newRow("a run path out of the bundle") << "outside" << "The download's Contents/bin/helper needs libcarried.so.1" + missing;
        QTest::newRow("a run path through a link out") << "link out" << "The download's Contents/bin/helper needs libcarried.so.1" + missing;
        QTest::newRow("a newer C library") << "version"
                                           << "The download's Contents/bin/helper needs GLIBC_99.0 of libc.so.6, which this computer's "
                                                  + systemLibrary(QStringLiteral("libc.so.6")) + " doesn't define" + kTail;
        QTest::newRow("the system's folders without the C library") << "no system"
                                                                    << "The download's Contents/bin/helper needs libc.so.6" + missing;
        QTest::newRow("a damaged library") << "damaged"
                                           << "The download's Contents/lib/libz.so.1 can't be read as a program or library: "
                                              "its program header table lies outside the file" + kTail;
        QTest::newRow("another machine") << "machine" << "The download's Contents/bin/helper is built for ";
    }
    void refusals()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        const QString b = bundle();
        const QString helper = b + QStringLiteral("/Contents/bin/helper");
        const QString lib = b + QStringLiteral("/Contents/lib");
        const QStringList carried{QStringLiteral("--add-needed"), QStringLiteral("libcarried.so.1"), QStringLiteral("--set-rpath"),
                                  QStringLiteral("$ORIGIN/../lib")};
        QStringList system;
        // A plain program beside the broken one, which alone is named.
        QCOMPARE(patchedCopy(m_true, b + QStringLiteral("/Contents/bin/aaa-plain"), {}), QString());
        if (kind == QLatin1String("nobody")) {
            QCOMPARE(patchedCopy(m_true, helper, {QStringLiteral("--add-needed"), QStringLiteral("libferrowhistle-missing.so.1")}), QString());
        } else if (kind == QLatin1String("removed")) {
            QCOMPARE(patchedCopy(m_true, helper, carried), QString());
        } else if (kind == QLatin1String("indirect")) {
            QCOMPARE(patchedCopy(m_true, helper, carried), QString());
            QCOMPARE(patchedCopy(m_zlib, lib + QStringLiteral("/libcarried.so.1"), {QStringLiteral("--add-needed"), QStringLiteral("libgone.so.2")}),
                     QString());
        } else if (kind == QLatin1String("outside")) {
            QCOMPARE(patchedCopy(m_true, helper, {QStringLiteral("--add-needed"), QStringLiteral("libcarried.so.1"),
                                                  QStringLiteral("--set-rpath"), QStringLiteral("$ORIGIN/../../..")}),
                     QString());
            QCOMPARE(patchedCopy(m_zlib, QFileInfo(b).absolutePath() + QStringLiteral("/libcarried.so.1"), {}), QString());
        } else if (kind == QLatin1String("link out")) {
            QCOMPARE(patchedCopy(m_true, helper, {QStringLiteral("--add-needed"), QStringLiteral("libcarried.so.1"),
                                                  QStringLiteral("--set-rpath"), QStringLiteral("$ORIGIN/../lib/out")}),
                     QString());
            const QString elsewhere = m_dir.filePath(QStringLiteral("elsewhere%1").arg(m_n));
            QDir().mkpath(elsewhere);
            QCOMPARE(patchedCopy(m_zlib, elsewhere + QStringLiteral("/libcarried.so.1"), {}), QString());
            QVERIFY(QFile::link(elsewhere, lib + QStringLiteral("/out")));
        } else if (kind == QLatin1String("version")) {
            QCOMPARE(patchedCopy(m_true, helper, {}), QString());
            QCOMPARE(renameString(helper, "GLIBC_2.34", "GLIBC_99.0"), QString());
        } else if (kind == QLatin1String("no system")) {
            QCOMPARE(patchedCopy(m_true, helper, {}), QString());
            system << m_dir.filePath(QStringLiteral("b%1").arg(m_n));
            QFile::remove(b + QStringLiteral("/Contents/bin/aaa-plain"));
        } else if (kind == QLatin1String("damaged")) {
            QCOMPARE(patchedCopy(m_true, helper, {}), QString());
            QFile z(m_zlib);
            QVERIFY(z.open(QIODevice::ReadOnly));
            QFile cut(lib + QStringLiteral("/libz.so.1"));
            QVERIFY(cut.open(QIODevice::WriteOnly));
            cut.write(z.read(200));
        } else if (kind == QLatin1String("machine")) {
            QCOMPARE(patchedCopy(m_true, helper, {}), QString());
            QFile f(helper);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QByteArray bytes = f.readAll();
            const quint16 other = bytes[18] == 62 ? 183 : 62; // aarch64 for x86_64 and the other way round
            std::memcpy(bytes.data() + 18, &other, 2);
            QVERIFY(f.seek(0) && f.write(bytes) == bytes.size());
        }
        const QString outcome = failure(b, system);
        if (kind == QLatin1String("machine"))
            QVERIFY2(outcome.startsWith(expected) && outcome.endsWith(kTail), qPrintable(outcome));
        else
            QCOMPARE(outcome, expected);
    }

    // Programs and libraries compiled here, against a library the system
    // folder (sys/) holds in another build: every symbol the download needs
    // must be there, and a system library that would bind to a carried
    // copy must find what it needs in that copy.
    void symbols_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected"); // empty: loads; "HOST" stands for sys/libhost.so.1
        const QString none = QStringLiteral(", which none of the libraries it would load defines") + kTail;
        QTest::newRow("the system's copy is older") << "older" << "The download's Contents/bin/helper needs the symbol fw_new" + none;
        QTest::newRow("the system's copy has it") << "same" << "";
        QTest::newRow("a weak reference") << "weak" << "";
        QTest::newRow("defined by the program") << "program defines" << "";
        QTest::newRow("defined by no program")
            << "program hides" << "The download's Contents/lib/ferrowhistle-updater.so needs the symbol fw_from_program" + none;
        QTest::newRow("defined by no program the bundle names")
            << "named program hides" << "The download's Contents/lib/ferrowhistle-updater.so needs the symbol fw_from_program" + none;
        // A script can't be read for what its process holds: the copy
        // fails at start instead, which the roll-back answers for.
        QTest::newRow("the bundle's program is a script") << "program script" << "";
        QTest::newRow("a version without the symbol") << "versioned older" << "The download's Contents/bin/helper needs the symbol fw_new (FW_2)" + none;
        QTest::newRow("a versioned copy answers an unversioned need") << "versioned newer" << "";
        QTest::newRow("a unique C++ object") << "unique" << "";
        QTest::newRow("a system library held to a carried copy")
            << "host"
            << "This computer's HOST would use the download's Contents/lib/libcarried.so.1 and needs the symbol carried_new" + none;
        QTest::newRow("a system library with a carried copy that has it") << "host same" << "";
    }
    void symbols()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        const QString b = bundle();
        const QString work = m_dir.filePath(QStringLiteral("work%1").arg(m_n));
        const QString sys = work + QStringLiteral("/sys");
        const QString build = work + QStringLiteral("/build");
        QVERIFY(QDir().mkpath(sys) && QDir().mkpath(build));
        const QString helper = b + QStringLiteral("/Contents/bin/helper");
        const QString lib = b + QStringLiteral("/Contents/lib/");
        const QStringList shared{QStringLiteral("-shared"), QStringLiteral("-fPIC"), QStringLiteral("-Wl,-soname,libfwsym.so.1")};
        const QByteArray older = "int fw_old(void) { return 1; }\n";
        const QByteArray newer = older + "int fw_new(void) { return 2; }\n";
        const QByteArray callsNew = "extern int fw_new(void);\nint main(void) { return fw_new(); }\n";
        const QString built = build + QStringLiteral("/libfwsym.so.1");
        const QString system = sys + QStringLiteral("/libfwsym.so.1");
        const QStringList againstBuilt{QStringLiteral("-Wl,--no-as-needed"), built};
        const QString host = QFileInfo(sys).canonicalFilePath() + QStringLiteral("/libhost.so.1");

        if (kind == u"older" || kind == u"same") {
            QCOMPARE(compiled(newer, built, shared), QString());
            QCOMPARE(compiled(callsNew, helper, againstBuilt), QString());
            QCOMPARE(compiled(kind == u"older" ? older : newer, system, shared), QString());
        } else if (kind == u"weak") {
            QCOMPARE(compiled(newer, built, shared), QString());
            QCOMPARE(compiled("extern int fw_new(void) __attribute__((weak));\nint main(void) { return fw_new ? fw_new() : 0; }\n", helper,
                              againstBuilt),
                     QString());
            QCOMPARE(compiled(older, system, shared), QString());
        } else if (kind.startsWith(u"program") || kind == u"named program hides") {
            // The updater module calls into the program that loads it.
            QCOMPARE(compiled("extern int fw_from_program(void);\nint fw_module(void) { return fw_from_program(); }\n",
                              lib + QStringLiteral("ferrowhistle-updater.so"), {QStringLiteral("-shared"), QStringLiteral("-fPIC")}),
                     QString());
            QStringList options;
            if (kind == u"program defines")
                options << QStringLiteral("-rdynamic");
            const QString program = b + QStringLiteral("/Contents/bin/Ferrowhistle");
            if (kind == u"program script") {
                QFile script(program);
                QVERIFY(script.open(QIODevice::WriteOnly));
                script.write("#!/bin/sh\nkill -SEGV $$\n");
            } else {
                QCOMPARE(compiled("int fw_from_program(void) { return 3; }\nint main(void) { return fw_from_program(); }\n", program, options),
                         QString());
            }
            // Beside it, a tool that loads no module.
            QCOMPARE(patchedCopy(m_true, b + QStringLiteral("/Contents/bin/ferrowhistle-tool"), {}), QString());
            if (kind != u"program hides") {
                QFile plist(b + QStringLiteral("/Contents/Info.plist"));
                QVERIFY(plist.open(QIODevice::WriteOnly));
                plist.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                            "<key>CFBundleExecutable</key><string>Ferrowhistle</string></dict></plist>\n");
            }
        } else if (kind.startsWith(u"versioned")) {
            // FW_1 holds fw_old; FW_2 fw_new, or in the older copy only fw_other.
            const QString map = build + QStringLiteral("/versions.map");
            const QString oldMap = build + QStringLiteral("/old-versions.map");
            QFile f(map), g(oldMap);
            QVERIFY(f.open(QIODevice::WriteOnly) && g.open(QIODevice::WriteOnly));
            f.write("FW_1 { global: fw_old; local: *; };\nFW_2 { global: fw_new; } FW_1;\n");
            g.write("FW_1 { global: fw_old; local: *; };\nFW_2 { global: fw_other; } FW_1;\n");
            f.close();
            g.close();
            if (kind == u"versioned older") {
                QCOMPARE(compiled(newer, built, shared + QStringList{QStringLiteral("-Wl,--version-script,") + map}), QString());
                QCOMPARE(compiled(callsNew, helper, againstBuilt), QString());
                QCOMPARE(compiled(newer + "int fw_other(void) { return 4; }\n", system,
                                  shared + QStringList{QStringLiteral("-Wl,--version-script,") + oldMap}),
                         QString());
            } else {
                QCOMPARE(compiled(newer, built, shared), QString());
                QCOMPARE(compiled(callsNew, helper, againstBuilt), QString());
                QCOMPARE(compiled(newer, system, shared + QStringList{QStringLiteral("-Wl,--version-script,") + map}), QString());
            }
        } else if (kind == u"unique") {
            // A template's static member: STB_GNU_UNIQUE in the library.
            QCOMPARE(compiled("template <class T> struct S { static int v; };\ntemplate <class T> int S<T>::v = 1;\n"
                              "template struct S<int>;\nint *fw_unique() { return &S<int>::v; }\n",
                              built, shared, Language::Cxx),
                     QString());
            // Read through a carried library's GOT: a program would carry a copy of its own.
            QCOMPARE(compiled("extern int _ZN1SIiE1vE;\nint fw_read(void) { return _ZN1SIiE1vE; }\n", lib + QStringLiteral("libuser.so.1"),
                              QStringList{QStringLiteral("-shared"), QStringLiteral("-fPIC")} + againstBuilt),
                     QString());
            QVERIFY(QFile::copy(built, system));
        } else if (kind.startsWith(u"host")) {
            // sys/libhost.so.1 calls carried_new of libcarried.so.1; the
            // program loads the bundle's libcarried.so.1 first, and libhost.
            const QStringList carriedSo{QStringLiteral("-shared"), QStringLiteral("-fPIC"), QStringLiteral("-Wl,-soname,libcarried.so.1")};
            const QByteArray carriedOld = "int carried_old(void) { return 1; }\n";
            const QByteArray carriedNew = carriedOld + "int carried_new(void) { return 2; }\n";
            QCOMPARE(compiled(carriedNew, build + QStringLiteral("/libcarried.so.1"), carriedSo), QString());
            QCOMPARE(compiled(carriedNew, sys + QStringLiteral("/libcarried.so.1"), carriedSo), QString());
            QCOMPARE(compiled("extern int carried_new(void);\nint host_fn(void) { return carried_new(); }\n", host,
                              {QStringLiteral("-shared"), QStringLiteral("-fPIC"), QStringLiteral("-Wl,-soname,libhost.so.1"),
                               QStringLiteral("-Wl,--no-as-needed"), build + QStringLiteral("/libcarried.so.1")}),
                     QString());
            QCOMPARE(compiled(kind == u"host" ? carriedOld : carriedNew, lib + QStringLiteral("libcarried.so.1"), carriedSo), QString());
            QCOMPARE(compiled("extern int carried_old(void);\nextern int host_fn(void);\n"
                              "int main(void) { return carried_old() + host_fn(); }\n",
                              helper,
                              {QStringLiteral("-Wl,--no-as-needed"), QStringLiteral("-Wl,-rpath,$ORIGIN/../lib"),
                               build + QStringLiteral("/libcarried.so.1"), host}),
                     QString());
        }
        const QString outcome = failure(b, QStringList{sys} + Loadability::systemLibraryFolders());
        QCOMPARE(outcome, QString(expected).replace(QStringLiteral("HOST"), host));
    }

    void systemFoldersFollowTheLoadersConfiguration()
    {
        const QString conf = m_dir.filePath(QStringLiteral("ld.so.conf"));
        const QString confd = m_dir.filePath(QStringLiteral("ld.so.conf.d"));
        QDir().mkpath(confd);
        const QString one = m_dir.filePath(QStringLiteral("one"));
        const QString two = m_dir.filePath(QStringLiteral("two"));
        QDir().mkpath(one);
        QDir().mkpath(two);
        const auto write = [](const QString &path, const QByteArray &text) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
        };
        QVERIFY(write(conf, "# comment\n" + one.toUtf8() + "  # trailing\ninclude ld.so.conf.d/*.conf\n/no/such/folder\n"));
        QVERIFY(write(confd + QStringLiteral("/a.conf"), two.toUtf8() + "\ninclude " + conf.toUtf8() + "\n"));
        const QStringList folders = Loadability::systemLibraryFolders(conf);
        QVERIFY2(folders.size() >= 3, qPrintable(folders.join(u' ')));
        QCOMPARE(folders.mid(0, 2), (QStringList{one, two}));
        QVERIFY(!folders.contains(QStringLiteral("/no/such/folder")));
        QVERIFY(folders.contains(QFileInfo(systemLibrary(QStringLiteral("libc.so.6"))).absolutePath())
                || folders.contains(QStringLiteral("/lib/") + QFileInfo(systemLibrary(QStringLiteral("libc.so.6"))).dir().dirName()));
    }
};

QTEST_GUILESS_MAIN(tst_Loadability)
#include "tst_Loadability.moc"
