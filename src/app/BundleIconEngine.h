#pragma once

#include <QFuture>
#include <QIconEngine>
#include <QImage>
#include <QMap>
#include <QPixmap>
#include <QString>

// The app's icon from the bundle's PNG files, one square size each, named by
// their side (ferrowhistle-48.png). The files are decoded on a worker thread
// as soon as the icon is made, so start-up goes on meanwhile; the first use
// of the icon (the first window, which carries every size) takes the result.
class BundleIconEngine : public QIconEngine {
public:
    // Files in `directory` named `<prefix><side>.png`; others are ignored.
    // A null icon when there are none.
    static QIcon icon(const QString &directory, const QString &prefix);

    explicit BundleIconEngine(const QMap<int, QString> &filesBySide);

    // Blocks until no icon is being decoded. Called before the application
    // object goes away: a decoding thread still inside the image reader then
    // would run on into freed plugin state.
    static void waitForDecoding();

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override;
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override;
    QIconEngine *clone() const override;
    QString key() const override;
    bool isNull() override;

private:
    BundleIconEngine(const BundleIconEngine &other) = default;

    // The sides that decoded, each with its pixmap; waits for the decoding.
    const QMap<int, QPixmap> &pixmaps();
    // The smallest side at least `side`, else the largest; 0 when none.
    int bestSide(int side);

    QFuture<QMap<int, QImage>> m_decoding;
    QMap<int, QPixmap> m_pixmaps;
    bool m_taken = false;
};
