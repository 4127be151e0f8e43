#pragma once

#include <QIconEngine>
#include <QImage>
#include <QMap>
#include <QMutex>
#include <QPixmap>
#include <QString>

#include <memory>
#include <optional>

// The app's icon from the bundle's PNG files, one square size each, named by
// their side (ferrowhistle-48.png). A file is decoded when a size it serves is
// first asked for, so the first card decodes only the one small file it
// draws and start-up spends nothing on the others; decodeAhead() decodes the
// rest on a worker once the launch has settled, before a window that carries
// every size (the settings window) asks for them.
class BundleIconEngine : public QIconEngine {
public:
    // Files in `directory` named `<prefix><side>.png`; others are ignored.
    // A null icon when there are none, and one whose isNull() is true when
    // none of them decodes.
    static QIcon icon(const QString &directory, const QString &prefix);

    // Decodes, on a worker, every file of every icon made so far that no
    // one has asked for yet.
    static void decodeAhead();
    // Blocks until no icon is being decoded on a worker. Called before the
    // application object goes away: a decoding thread still inside the image
    // reader then would run on into freed plugin state.
    static void waitForDecoding();

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override;
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override;
    QIconEngine *clone() const override;
    QString key() const override;
    bool isNull() override;

    // The files and what each decoded to, shared by an engine's clones and
    // the worker that decodes ahead.
    struct Files {
        explicit Files(QMap<int, QString> bySide) : bySide(std::move(bySide)) {}
        const QMap<int, QString> bySide;
        QMutex lock;
        // A null image for a file that doesn't decode.
        QMap<int, QImage> decoded;
        // The file's image, decoding it unless that was done; null when it
        // doesn't decode.
        QImage image(int side);
        void decodeAll();
    };

private:
    explicit BundleIconEngine(std::shared_ptr<Files> files);
    BundleIconEngine(const BundleIconEngine &other) = default;

    // The pixmap of a side that decodes, made once per engine.
    QPixmap pixmapOf(int side);
    // The smallest side at least `side` whose file decodes, else the largest
    // that decodes; 0 when none does.
    int bestSide(int side);

    std::shared_ptr<Files> m_files;
    QMap<int, QPixmap> m_pixmaps;
};
