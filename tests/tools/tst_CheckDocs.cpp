// scripts/check-docs on small trees of its own: links that resolve and make
// targets the Makefile has pass, whatever Markdown wraps them in; each
// broken link, missing anchor or unknown target fails with its file and line,
// once, however the text hides it (a line break, a continued command, a
// heading inside a code block).
#include "support/ProgramRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kScript = QStringLiteral(FW_SOURCE_DIR "/scripts/check-docs");

const char *const kMakefile =
    "BUILD ?= build\n"
    "JOBS ?= $(shell nproc)\n"
    ".PHONY: all run test install\n"
    "all: run\n"
    "run test: deps\n"
    "\tscripts/run $(BUILD)\n"
    "install:\n"
    "\tscripts/install-app \\\n"
    "\t  $(BUILD)\n"
    "deps:\n";

// A README whose every link and make command resolves, each in one of the
// forms the real docs use.
const char *const kReadme =
    "# Title\n"
    "\n"
    "![The card](docs/card.png) and [the guide](docs/guide.md), its\n"
    "[first steps](docs/guide.md#1-first-steps-once), its [second notes](docs/guide.md#notes-1),\n"
    "a [link broken over\n"
    "a line](docs/guide.md#notes) and [a folder](docs/).\n"
    "[Elsewhere](https://example.org/missing.md), [mail](mailto:a@example.org), [here](#the-apps---help-short).\n"
    "Code is no link: `[x](missing.md)`. Prose may make the feed anew.\n"
    "`make run`, `sudo JOBS=2 make -j2 install test`, and the message `make release: IDENTITY=x: why`.\n"
    "\n"
    "    make test   # runs them\n"
    "\n"
    "```sh\n"
    "# Not a heading\n"
    "[x](missing.md)\n"
    "make \\\n"
    "  BUILD=b run\n"
    "```\n"
    "\n"
    "## The app's `--help` (short)\n";

const char *const kGuide =
    "# 1. First steps (once)\n"
    "\n"
    "Back to [the title](../README.md#title).\n"
    "\n"
    "## Notes\n"
    "\n"
    "## Notes\n";

using Files = QMap<QString, QString>;

} // namespace

class tst_CheckDocs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void check_data();
    void check();
};

void tst_CheckDocs::check_data()
{
    QTest::addColumn<Files>("changes");
    QTest::addColumn<int>("status");
    // Every line of the report that must be there; a failure names exactly
    // this many problems.
    QTest::addColumn<QStringList>("expected");

    const auto fails = [](const QString &problem) {
        return QStringList{problem, QStringLiteral("check-docs: 1 problem(s)")};
    };
    const QString readme = QString::fromUtf8(kReadme);

    QTest::newRow("everything resolves") << Files{} << 0
                                         << QStringList{QStringLiteral("check-docs: 2 files, 8 relative links and 5 make commands, all resolve")};
    QTest::newRow("a missing file") << Files{{"README.md", readme + "See [gone](docs/gone.md).\n"}} << 1
                                    << fails("README.md:21: the link docs/gone.md leads to docs/gone.md, which does not exist");
    QTest::newRow("a missing image") << Files{{"docs/guide.md", QString::fromUtf8(kGuide) + "\n![x](pics/x.png)\n"}} << 1
                                     << fails("docs/guide.md:9: the link pics/x.png leads to docs/pics/x.png, which does not exist");
    QTest::newRow("a link over a line break") << Files{{"README.md", readme + "A [broken\nlink](docs/gone.md).\n"}} << 1
                                              << fails("README.md:21: the link docs/gone.md leads to");
    QTest::newRow("no such heading in another file") << Files{{"README.md", readme + "[x](docs/guide.md#notes-2)\n"}} << 1
                                                     << fails("README.md:21: the link docs/guide.md#notes-2: docs/guide.md has no heading for #notes-2");
    QTest::newRow("no such heading in the file") << Files{{"README.md", readme + "[x](#not-a-heading)\n"}} << 1
                                                 << fails("README.md:21: the link #not-a-heading: README.md has no heading for #not-a-heading");
    QTest::newRow("a heading's punctuation kept") << Files{{"README.md", readme + "[x](#the-app's---help-short)\n"}} << 1
                                                  << fails("has no heading for #the-app's---help-short");
    QTest::newRow("an anchor into a file that is no page") << Files{{"README.md", readme + "[x](docs/card.png#top)\n"}} << 1
                                                           << fails("README.md:21: the link docs/card.png#top: #top can only be checked in a Markdown file");
    QTest::newRow("a target in a code block") << Files{{"README.md", readme + "\n    make nosuch\n"}} << 1
                                              << fails("README.md:22: make nosuch: the Makefile has no target nosuch");
    QTest::newRow("a target in a code span") << Files{{"docs/guide.md", QString::fromUtf8(kGuide) + "Run `sudo FOO=1 make -C . run nosuch`.\n"}} << 1
                                             << fails("docs/guide.md:8: make nosuch: the Makefile has no target nosuch");
    QTest::newRow("a target on a continued line") << Files{{"README.md", readme + "\n```\ncd x && make \\\n  nosuch\n```\n"}} << 1
                                                  << fails("README.md:23: make nosuch: the Makefile has no target nosuch");
    QTest::newRow("a variable is no target") << Files{{"Makefile", QString::fromUtf8(kMakefile) + "nosuch := 1\n"},
                                                     {"README.md", readme + "\n    make nosuch\n"}}
                                             << 1 << fails("make nosuch: the Makefile has no target nosuch");
}

void tst_CheckDocs::check()
{
    QFETCH(Files, changes);
    QFETCH(int, status);
    QFETCH(QStringList, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    Files files{{"Makefile", QString::fromUtf8(kMakefile)},
                {"README.md", QString::fromUtf8(kReadme)},
                {"docs/guide.md", QString::fromUtf8(kGuide)},
                {"docs/card.png", QStringLiteral("not really a picture")}};
    files.insert(changes);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root.filePath(it.key());
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(it.value().toUtf8()) >= 0);
    }

    const ProgramRun run = runToEnd(kScript, {root.path()});
    QVERIFY2(!run.crashed, qPrintable(run.err));
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
    QCOMPARE(run.exitCode, status);
    for (const QString &line : expected)
        QVERIFY2(run.out.contains(line), qPrintable(QStringLiteral("no \"%1\" in:\n%2").arg(line, run.out)));
}

QTEST_GUILESS_MAIN(tst_CheckDocs)
#include "tst_CheckDocs.moc"
