#include "app/BundleIconEngine.h"

#include <QApplication>
#include <QDir>
#include <QImageReader>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QThreadPool>

#include <algorithm>
#include <vector>

namespace {

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

// Every icon's files, for decodeAhead().
struct MadeIcons {
    QMutex lock;
    std::vector<std::weak_ptr<BundleIconEngine::Files>> files;
};

MadeIcons &madeIcons()
{
    static MadeIcons made;
    return made;
}

} // namespace

QImage BundleIconEngine::Files::image(int side)
{
    {
        QMutexLocker locked(&lock);
        if (const auto it = decoded.constFind(side); it != decoded.cend())
            return *it;
    }
    // Decoded outside the lock: a worker decoding a large file ahead must
    // not hold up a window that wants a small one. Both may decode the same
    // file at worst, with the same result.
    // Naming the format keeps the reader from asking every image plugin
    // whether it knows the file.
    QImageReader reader(bySide.value(side), "png");
    reader.setAutoDetectImageFormat(false);
    QImage image = reader.read();
    QMutexLocker locked(&lock);
    return *decoded.insert(side, std::move(image));
}

void BundleIconEngine::Files::decodeAll()
{
    for (const int side : bySide.keys())
        image(side);
}

QIcon BundleIconEngine::icon(const QString &directory, const QString &prefix)
{
    QMap<int, QString> bySide;
    for (const QString &name : QDir(directory).entryList({prefix + QStringLiteral("*.png")}, QDir::Files)) {
        bool isNumber = false;
        const int side = QStringView(name).sliced(prefix.size()).chopped(4).toInt(&isNumber);
        if (isNumber && side > 0)
            bySide.insert(side, directory + QLatin1Char('/') + name);
    }
    if (bySide.isEmpty())
        return QIcon();
    auto files = std::make_shared<Files>(std::move(bySide));
    {
        MadeIcons &made = madeIcons();
        QMutexLocker locked(&made.lock);
        std::erase_if(made.files, [](const std::weak_ptr<Files> &f) { return f.expired(); });
        made.files.push_back(files);
    }
    // Whether any file decodes is found out when the icon is first used
    // (QIcon::isNull() asks the engine), not here at start.
    return QIcon(new BundleIconEngine(std::move(files)));
}

void BundleIconEngine::decodeAhead()
{
    std::vector<std::shared_ptr<Files>> pending;
    {
        MadeIcons &made = madeIcons();
        QMutexLocker locked(&made.lock);
        for (const std::weak_ptr<Files> &f : made.files) {
            if (std::shared_ptr<Files> files = f.lock())
                pending.push_back(std::move(files));
        }
    }
    for (std::shared_ptr<Files> &files : pending)
        decodingPool().start([files = std::move(files)] { files->decodeAll(); });
}

void BundleIconEngine::waitForDecoding()
{
    decodingPool().waitForDone();
}

BundleIconEngine::BundleIconEngine(std::shared_ptr<Files> files) : m_files(std::move(files)) {}

QPixmap BundleIconEngine::pixmapOf(int side)
{
    if (const auto it = m_pixmaps.constFind(side); it != m_pixmaps.cend())
        return *it;
    return *m_pixmaps.insert(side, QPixmap::fromImage(m_files->image(side)));
}

int BundleIconEngine::bestSide(int side)
{
    const QMap<int, QString> &bySide = m_files->bySide;
    // Upwards from the first file at least as large, then downwards from
    // the largest: the first file that decodes serves the size.
    for (auto it = bySide.lowerBound(side); it != bySide.end(); ++it) {
        if (!m_files->image(it.key()).isNull())
            return it.key();
    }
    for (auto it = bySide.lowerBound(side); it != bySide.begin();) {
        --it;
        if (!m_files->image(it.key()).isNull())
            return it.key();
    }
    return 0;
}

QPixmap BundleIconEngine::pixmap(const QSize &size, QIcon::Mode mode, QIcon::State)
{
    if (size.isEmpty())
        return QPixmap();
    const int side = bestSide(std::max(size.width(), size.height()));
    if (side == 0)
        return QPixmap();
    QPixmap pm = pixmapOf(side);
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
    for (const int side : m_files->bySide.keys()) {
        if (!m_files->image(side).isNull())
            sizes.append(QSize(side, side));
    }
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
    return bestSide(0) == 0;
}
