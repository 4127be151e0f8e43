// A release carries ICU's data without the trees Qt never reads
// (scripts/bundle-libraries --trim-icu-data). This runs what Qt does with
// ICU in this process once against the system's data and once against the
// trimmed copy, and wants the same answers.
#include <QCollator>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <cstdio>

namespace {

// The ICU data library this process mapped.
QString mappedIcuData()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    // The file the soname leads to, e.g. libicudata.so.72.1.
    const QRegularExpression data(QStringLiteral(R"((/\S*/libicudata\.so\.\d+(\.\d+)*)$)"));
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const QRegularExpressionMatch m = data.match(QString::fromUtf8(line));
        if (m.hasMatch())
            return m.captured(1);
    }
    return {};
}

QString sorted(const QString &locale, QStringList words, bool numeric = false)
{
    QCollator collator{QLocale(locale)};
    collator.setNumericMode(numeric);
    std::sort(words.begin(), words.end(), collator);
    return locale + QStringLiteral(": ") + words.join(u' ');
}

QString decoded(const char *codec, const QByteArray &bytes)
{
    QStringDecoder decoder(codec);
    if (!decoder.isValid())
        return QLatin1String(codec) + QStringLiteral(": no such codec");
    const QString text = decoder(bytes);
    return QLatin1String(codec) + QStringLiteral(": ") + text + (decoder.hasError() ? QStringLiteral(" (error)") : QString());
}

QString encoded(const char *codec, const QString &text)
{
    QStringEncoder encoder(codec);
    if (!encoder.isValid())
        return QLatin1String(codec) + QStringLiteral(": no such codec");
    const QByteArray bytes = encoder(text);
    return QLatin1String(codec) + QStringLiteral(": ") + QString::fromLatin1(bytes.toHex(' '));
}

// Everything Qt asks ICU for, one answer a line; the first line is the data
// library that answered.
int probe()
{
    QStringList out{mappedIcuData()};
    const QStringList words{QStringLiteral("Zebra"), QStringLiteral("Äpfel"), QStringLiteral("apfel"),
                            QStringLiteral("Ölung"), QStringLiteral("Ofen"), QStringLiteral("ångström"),
                            QStringLiteral("Čapek"), QStringLiteral("cukr"), QStringLiteral("chata"), QStringLiteral("hrad")};
    for (const char *locale : {"de_DE", "sv_SE", "cs_CZ", "en_US", "C"})
        out << sorted(QLatin1String(locale), words);
    out << sorted(QStringLiteral("en_US"), {QStringLiteral("item10"), QStringLiteral("item9"), QStringLiteral("item1")}, true);
    out << decoded("Shift_JIS", QByteArray("\x93\xfa\x96\x7b\x8c\xea"));
    out << decoded("GB18030", QByteArray("\xd6\xd0\xce\xc4"));
    out << decoded("KOI8-R", QByteArray("\xf0\xd2\xc9\xd7\xc5\xd4"));
    out << decoded("windows-1252", QByteArray("\x80\x9c"));
    out << encoded("Big5", QStringLiteral("中文"));
    out << encoded("ISO-2022-JP", QStringLiteral("日本語"));
    out << QLocale(QStringLiteral("tr_TR")).toUpper(QStringLiteral("istanbul ıi"));
    out << QLocale(QStringLiteral("de_DE")).toUpper(QStringLiteral("straße"));
    out << QLocale(QStringLiteral("lt_LT")).toLower(QStringLiteral("ĮĖ Ì"));
    out << QStringLiteral("%1 zones").arg(QTimeZone::availableTimeZoneIds().size());
    const QTimeZone berlin("Europe/Berlin");
    for (const char *locale : {"fr_FR", "ja_JP", "en_US"})
        out << berlin.displayName(QTimeZone::StandardTime, QTimeZone::LongName, QLocale(QLatin1String(locale)));
    std::fputs(qPrintable(out.join(u'\n') + u'\n'), stdout);
    return 0;
}

} // namespace

class TestIcuDataTrim : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_system;
    QString m_trimmed;

    static QString script() { return QStringLiteral(FW_SOURCE_DIR "/scripts/bundle-libraries"); }

    QStringList probeWith(const QString &preload)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("FW_ICU_PROBE"), QStringLiteral("1"));
        if (!preload.isEmpty())
            env.insert(QStringLiteral("LD_PRELOAD"), preload);
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationFilePath(), {});
        if (!p.waitForFinished(60000) || p.exitCode() != 0)
            return {QStringLiteral("probe failed: ") + QString::fromUtf8(p.readAllStandardError())};
        return QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_system = mappedIcuData();
        if (m_system.isEmpty())
            QSKIP("this Qt does not use ICU, so no release carries its data");
        // Named by its soname, as a release carries it.
        const QString soname = m_system.section(u'/', -1).section(u'.', 0, 2);
        m_trimmed = m_dir.filePath(soname);
        QProcess p;
        p.start(script(), {QStringLiteral("--trim-icu-data"), m_system, m_trimmed});
        QVERIFY(p.waitForFinished(120000));
        QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    }

    // The same answers from both, and answers that show ICU was asked
    // (the trimmed copy answered in its run, not the system's).
    void qtGetsTheSameAnswersFromTheTrimmedData()
    {
        const QStringList system = probeWith(QString());
        const QStringList trimmed = probeWith(m_trimmed);
        QVERIFY2(system.size() > 1, qPrintable(system.join(u'\n')));
        QVERIFY2(trimmed.size() > 1, qPrintable(trimmed.join(u'\n')));
        QCOMPARE(system.first(), m_system);
        QCOMPARE(trimmed.first(), m_trimmed);
        QCOMPARE(trimmed.mid(1), system.mid(1));
        // Swedish sorts Ö after Z, German beside O: the locales' tailorings
        // were read.
        const QString german = system.filter(QStringLiteral("de_DE: ")).value(0);
        const QString swedish = system.filter(QStringLiteral("sv_SE: ")).value(0);
        QVERIFY2(german.indexOf(QStringLiteral("Ölung")) < german.indexOf(QStringLiteral("Zebra")), qPrintable(german));
        QVERIFY2(swedish.indexOf(QStringLiteral("Ölung")) > swedish.indexOf(QStringLiteral("Zebra")), qPrintable(swedish));
        QVERIFY(system.contains(QStringLiteral("en_US: item1 item9 item10")));
    }

    // Bad input: a clear sentence, and nothing written.
    void refusesWhatIsNotIcuData_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("said");
        QTest::newRow("not a library") << QStringLiteral("/etc/hostname") << QStringLiteral("not ICU's data library");
        // A library that names itself so but holds no data.
        const QString fake = m_dir.filePath(QStringLiteral("fake/libicudata.so.72"));
        QTest::newRow("a library of that name") << fake << QStringLiteral("exports no icudt72_dat");
    }
    void refusesWhatIsNotIcuData()
    {
        QFETCH(QString, input);
        QFETCH(QString, said);
        if (input.contains(QStringLiteral("/fake/"))) {
            QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("fake"))));
            QFile::remove(input);
            QFile source(m_dir.filePath(QStringLiteral("fake/empty.c")));
            QVERIFY(source.open(QIODevice::WriteOnly));
            source.write("int fake;\n");
            source.close();
            QCOMPARE(QProcess::execute(QStringLiteral("gcc"), {QStringLiteral("-shared"), QStringLiteral("-fPIC"),
                                                              QStringLiteral("-Wl,-soname,libicudata.so.72"),
                                                              QStringLiteral("-o"), input, source.fileName()}),
                     0);
        }
        const QString out = m_dir.filePath(QStringLiteral("refused.so"));
        QProcess p;
        p.start(script(), {QStringLiteral("--trim-icu-data"), input, out});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(QString::fromUtf8(p.readAllStandardError()).contains(said), qPrintable(said));
        QVERIFY(!QFile::exists(out));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("FW_ICU_PROBE"))
        return probe();
    TestIcuDataTrim test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_IcuDataTrim.moc"
