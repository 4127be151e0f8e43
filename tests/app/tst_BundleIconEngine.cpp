// The app's icon from the bundle's size-named PNG files: which files make
// it, which file serves a size, and what happens to files that don't decode.
#include "app/BundleIconEngine.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kPrefix = QStringLiteral("ferrowhistle-");

void writePng(const QString &path, int side, QColor colour)
{
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(colour);
    QVERIFY(image.save(path, "PNG"));
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QColor centre(const QPixmap &pm)
{
    const QImage image = pm.toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

} // namespace

class TestBundleIconEngine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void sizesComeFromDecodableSizeNamedFiles();
    void eachSizeIsServedByTheNearestFileAtLeastAsLarge_data();
    void eachSizeIsServedByTheNearestFileAtLeastAsLarge();
    void otherModesAreDerivedByTheStyle();
    void noUsableFileGivesANullIcon();
    void aSizeDecodesOnlyItsFileAndTheRestDecodeAhead();
    void theBuiltBundleIconHasEverySize();

private:
    QTemporaryDir m_dir;
    QIcon m_icon;
};

void TestBundleIconEngine::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString d = m_dir.path() + QLatin1Char('/');
    writePng(d + kPrefix + "16.png", 16, Qt::red);
    writePng(d + kPrefix + "64.png", 64, Qt::green);
    writePng(d + kPrefix + "256.png", 256, Qt::blue);
    // Not part of the icon: a file that does not decode, names without a
    // size, another prefix, another suffix.
    writeBytes(d + kPrefix + "32.png", "not a png at all");
    writePng(d + kPrefix + "large.png", 48, Qt::yellow);
    writePng(d + kPrefix + "0.png", 48, Qt::yellow);
    writePng(d + "other-48.png", 48, Qt::yellow);
    writePng(d + kPrefix + "48.jpg", 48, Qt::yellow);
    m_icon = BundleIconEngine::icon(m_dir.path(), kPrefix);
    QVERIFY(!m_icon.isNull());
}

void TestBundleIconEngine::sizesComeFromDecodableSizeNamedFiles()
{
    QCOMPARE(m_icon.availableSizes(), (QList<QSize>{{16, 16}, {64, 64}, {256, 256}}));
}

void TestBundleIconEngine::eachSizeIsServedByTheNearestFileAtLeastAsLarge_data()
{
    QTest::addColumn<QSize>("asked");
    QTest::addColumn<QSize>("given");
    QTest::addColumn<QColor>("from");
    QTest::newRow("smaller than all") << QSize(8, 8) << QSize(8, 8) << QColor(Qt::red);
    QTest::newRow("exact") << QSize(16, 16) << QSize(16, 16) << QColor(Qt::red);
    // The 32 px file is broken, so 17..64 come from the 64 px one.
    QTest::newRow("between, over a broken file") << QSize(32, 32) << QSize(32, 32) << QColor(Qt::green);
    QTest::newRow("the card's icon") << QSize(52, 52) << QSize(52, 52) << QColor(Qt::green);
    QTest::newRow("just above a file") << QSize(65, 65) << QSize(65, 65) << QColor(Qt::blue);
    QTest::newRow("not square: fits the box") << QSize(100, 50) << QSize(50, 50) << QColor(Qt::blue);
    QTest::newRow("larger than all: not enlarged") << QSize(300, 300) << QSize(256, 256) << QColor(Qt::blue);
}

void TestBundleIconEngine::eachSizeIsServedByTheNearestFileAtLeastAsLarge()
{
    QFETCH(QSize, asked);
    QFETCH(QSize, given);
    QFETCH(QColor, from);
    const QPixmap pm = m_icon.pixmap(asked, 1.0);
    QCOMPARE(pm.size(), given);
    QCOMPARE(centre(pm), from);
    QCOMPARE(m_icon.actualSize(asked), given);
}

void TestBundleIconEngine::otherModesAreDerivedByTheStyle()
{
    const QPixmap normal = m_icon.pixmap(QSize(64, 64), 1.0, QIcon::Normal);
    const QPixmap disabled = m_icon.pixmap(QSize(64, 64), 1.0, QIcon::Disabled);
    QCOMPARE(disabled.size(), normal.size());
    QVERIFY(centre(disabled) != centre(normal));
}

void TestBundleIconEngine::noUsableFileGivesANullIcon()
{
    QTemporaryDir empty;
    QVERIFY(BundleIconEngine::icon(empty.path(), kPrefix).isNull());
    QVERIFY(BundleIconEngine::icon(empty.path() + QStringLiteral("/missing"), kPrefix).isNull());

    QTemporaryDir broken;
    writeBytes(broken.path() + QLatin1Char('/') + kPrefix + "64.png", QByteArray("\x89PNG\r\n\x1a\n", 8));
    const QIcon icon = BundleIconEngine::icon(broken.path(), kPrefix);
    QVERIFY(icon.isNull());
    QVERIFY(icon.pixmap(QSize(64, 64)).isNull());
    QVERIFY(icon.availableSizes().isEmpty());
}

void TestBundleIconEngine::aSizeDecodesOnlyItsFileAndTheRestDecodeAhead()
{
    // A file removed after the icon was made shows whether it had been read.
    QTemporaryDir dir;
    const QString d = dir.path() + QLatin1Char('/') + kPrefix;
    for (const int side : {16, 64, 128, 256})
        writePng(d + QString::number(side) + ".png", side, Qt::green);
    const QIcon icon = BundleIconEngine::icon(dir.path(), kPrefix);
    QCOMPARE(icon.pixmap(QSize(52, 52), 1.0).size(), QSize(52, 52));
    QVERIFY(QFile::remove(d + "256.png"));
    // Asked for before decodeAhead: read now, and gone.
    QCOMPARE(icon.actualSize(QSize(256, 256)), QSize(128, 128));

    QTemporaryDir ahead;
    const QString a = ahead.path() + QLatin1Char('/') + kPrefix;
    for (const int side : {16, 64, 256})
        writePng(a + QString::number(side) + ".png", side, Qt::blue);
    const QIcon early = BundleIconEngine::icon(ahead.path(), kPrefix);
    BundleIconEngine::decodeAhead();
    BundleIconEngine::waitForDecoding();
    for (const int side : {16, 64, 256})
        QVERIFY(QFile::remove(a + QString::number(side) + ".png"));
    QCOMPARE(early.availableSizes(), (QList<QSize>{{16, 16}, {64, 64}, {256, 256}}));
    QCOMPARE(centre(early.pixmap(QSize(200, 200), 1.0)), QColor(Qt::blue));
}

void TestBundleIconEngine::theBuiltBundleIconHasEverySize()
{
    const QIcon icon = BundleIconEngine::icon(QStringLiteral(FW_BUNDLE_DIR "/Contents/Resources/icons"), kPrefix);
    QCOMPARE(icon.availableSizes(), (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
    // Drawn into a window the way any QIcon is.
    QImage canvas(64, 64, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    icon.paint(&painter, QRect(0, 0, 64, 64));
    painter.end();
    QVERIFY(canvas.pixelColor(32, 32).alpha() > 0);
}

QTEST_MAIN(TestBundleIconEngine)
#include "tst_BundleIconEngine.moc"
