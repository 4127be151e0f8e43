#include "app/BundleIconEngine.h"

#include <QApplication>
#include <QDir>
#include <QImageReader>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace {

QMap<int, QImage> decodeAll(const QMap<int, QString> &files)
{
    QMap<int, QImage> images;
    for (auto it = files.begin(); it != files.end(); ++it) {
        // Naming the format keeps the reader from asking every image plugin
        // whether it knows the file.
        QImageReader reader(it.value(), "png");
        reader.setAutoDetectImageFormat(false);
        QImage image = reader.read();
        if (!image.isNull())
            images.insert(it.key(), std::move(image));
    }
    return images;
}

// The decoding's own pool, whose thread ends as soon as the work is done;
// the global pool would keep it parked for half a minute and wake it then.
struct DecodingPool : QThreadPool {
    DecodingPool() { setExpiryTimeout(0); }
};

QThreadPool &decodingPool()
{
    static DecodingPool pool;
    return pool;
}

} // namespace

QIcon BundleIconEngine::icon(const QString &directory, const QString &prefix)
{
    QMap<int, QString> files;
    for (const QString &name : QDir(directory).entryList({prefix + QStringLiteral("*.png")}, QDir::Files)) {
        bool isNumber = false;
        const int side = QStringView(name).sliced(prefix.size()).chopped(4).toInt(&isNumber);
        if (isNumber && side > 0)
            files.insert(side, directory + QLatin1Char('/') + name);
    }
    if (files.isEmpty())
        return QIcon();
    return QIcon(new BundleIconEngine(files));
}

void BundleIconEngine::waitForDecoding()
{
    decodingPool().waitForDone();
}

BundleIconEngine::BundleIconEngine(const QMap<int, QString> &filesBySide)
    : m_decoding(QtConcurrent::run(&decodingPool(), decodeAll, filesBySide))
{
}

const QMap<int, QPixmap> &BundleIconEngine::pixmaps()
{
    if (!m_taken) {
        const QMap<int, QImage> images = m_decoding.result();
        for (auto it = images.begin(); it != images.end(); ++it)
            m_pixmaps.insert(it.key(), QPixmap::fromImage(it.value()));
        m_taken = true;
    }
    return m_pixmaps;
}

int BundleIconEngine::bestSide(int side)
{
    const QMap<int, QPixmap> &all = pixmaps();
    if (all.isEmpty())
        return 0;
    const auto it = all.lowerBound(side);
    return it != all.end() ? it.key() : all.lastKey();
}

QPixmap BundleIconEngine::pixmap(const QSize &size, QIcon::Mode mode, QIcon::State)
{
    if (size.isEmpty())
        return QPixmap();
    const int side = bestSide(std::max(size.width(), size.height()));
    if (side == 0)
        return QPixmap();
    QPixmap pm = pixmaps().value(side);
    if (pm.width() > size.width() || pm.height() > size.height())
        pm = pm.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (mode != QIcon::Normal && qobject_cast<QApplication *>(QCoreApplication::instance())) {
        // Disabled, active and selected looks come from the style, as for
        // any other icon.
        QStyleOption option;
        option.palette = QApplication::palette();
        const QPixmap generated = QApplication::style()->generatedIconPixmap(mode, pm, &option);
        if (!generated.isNull())
            pm = generated;
    }
    return pm;
}

void BundleIconEngine::paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state)
{
    const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap pm = pixmap(rect.size() * dpr, mode, state);
    if (pm.isNull())
        return;
    pm.setDevicePixelRatio(dpr);
    const QSizeF drawn = pm.deviceIndependentSize();
    painter->drawPixmap(QPointF(rect.x() + (rect.width() - drawn.width()) / 2,
                                rect.y() + (rect.height() - drawn.height()) / 2),
                        pm);
}

QSize BundleIconEngine::actualSize(const QSize &size, QIcon::Mode, QIcon::State)
{
    if (size.isEmpty())
        return QSize();
    const int side = std::min(bestSide(std::max(size.width(), size.height())), std::min(size.width(), size.height()));
    return side > 0 ? QSize(side, side) : QSize();
}

QList<QSize> BundleIconEngine::availableSizes(QIcon::Mode, QIcon::State)
{
    QList<QSize> sizes;
    for (const int side : pixmaps().keys())
        sizes.append(QSize(side, side));
    return sizes;
}

QIconEngine *BundleIconEngine::clone() const
{
    return new BundleIconEngine(*this);
}

QString BundleIconEngine::key() const
{
    return QStringLiteral("BundleIconEngine");
}

bool BundleIconEngine::isNull()
{
    return pixmaps().isEmpty();
}
