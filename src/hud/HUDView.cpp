#include "hud/HUDView.h"

#include <QApplication>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextOption>

#include <algorithm>
#include <cmath>

namespace {

// X11 window sizes are 16-bit; a card for an enormous message is cut there.
constexpr double kMaxWindowExtent = 32767;

// Text layout costs more than linearly in the length of a word, so only a
// prefix is laid out: first a short one, then longer ones until the card is
// full or the whole text fits. The last bound only matters for text that is
// nearly all zero-width (marks, joiners), where no prefix fills the card.
constexpr qsizetype kFirstPrefix = 4096;
constexpr qsizetype kPrefixGrowth = 4;
constexpr qsizetype kMaxPrefix = 1 << 18;
// How far a cut may move back to keep a character and its marks together.
constexpr qsizetype kMaxCutBacktrack = 32;

// The first `length` UTF-16 units of text, moved back so that no surrogate
// pair and, within reason, no character with its combining marks is split.
QString prefixOf(const QString &text, qsizetype length)
{
    if (length >= text.size())
        return text;
    qsizetype cut = length;
    const qsizetype floor = std::max<qsizetype>(1, length - kMaxCutBacktrack);
    while (cut > floor && (text.at(cut).isLowSurrogate() || text.at(cut).isMark()))
        --cut;
    if (text.at(cut).isLowSurrogate())
        --cut;
    return text.left(cut);
}

} // namespace

QFont HUDView::messageFont()
{
    QFont font = QApplication::font();
    font.setPixelSize(HUDLayout::kFontPixelSize);
    font.setBold(true);
    return font;
}

QSizeF HUDView::measure(QTextLayout &layout)
{
    QTextOption option;
    // Wrap between words; a single word wider than the limit is broken.
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setAlignment(Qt::AlignLeft);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    double y = 0;
    double width = 0;
    // Lines below the tallest card there can be are never seen.
    while (y < kMaxWindowExtent) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(HUDLayout::kMaxTextWidth);
        line.setPosition(QPointF(0, y));
        y += line.height();
        width = std::max(width, line.naturalTextWidth());
    }
    layout.endLayout();
    return QSizeF(std::min(width, HUDLayout::kMaxTextWidth), y);
}

HUDView::HUDView(const QString &message, std::function<void()> onTap, QWidget *parent)
    : QWidget(parent), m_onTap(std::move(onTap)), m_layout(QString(), messageFont())
{
    for (qsizetype prefix = kFirstPrefix;; prefix *= kPrefixGrowth) {
        const QString shown = prefixOf(message, prefix);
        m_layout.setText(shown);
        m_measured = measure(m_layout);
        if (shown.size() == message.size() || m_measured.height() >= kMaxWindowExtent || prefix >= kMaxPrefix)
            break;
    }
    m_geometry = HUDLayout::cardGeometry(m_measured);
    if (m_geometry.size.height() > kMaxWindowExtent)
        m_geometry.size.setHeight(kMaxWindowExtent);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    resize(static_cast<int>(std::ceil(m_geometry.size.width())), static_cast<int>(std::ceil(m_geometry.size.height())));
}

void HUDView::paintEvent(QPaintEvent *event)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setClipRegion(event->region());

    const double h = m_geometry.size.height();
    QPainterPath card;
    card.addRoundedRect(QRectF(QPointF(0, 0), m_geometry.size), HUDLayout::kCornerRadius, HUDLayout::kCornerRadius);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.fillPath(card, QColor::fromRgbF(0, 0, 0, HUDLayout::kCardAlpha));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);

    // Frames are defined with y up; flip them into the widget's space.
    auto flipped = [h](const QRectF &r) { return QRectF(r.x(), h - r.y() - r.height(), r.width(), r.height()); };

    const QRectF iconRect = flipped(m_geometry.iconFrame);
    const QIcon icon = QApplication::windowIcon();
    if (!icon.isNull()) {
        const qreal dpr = devicePixelRatioF();
        const QPixmap pm = icon.pixmap(iconRect.size().toSize(), dpr);
        if (!pm.isNull()) {
            QSizeF drawn = pm.deviceIndependentSize().scaled(iconRect.size(), Qt::KeepAspectRatio);
            const QRectF target(iconRect.center() - QPointF(drawn.width() / 2, drawn.height() / 2), drawn);
            p.drawPixmap(target, pm, QRectF(QPointF(0, 0), pm.size()));
        }
    }

    const QRectF textRect = flipped(m_geometry.textFrame);
    // The slack is split evenly around the measured text.
    const QPointF origin = textRect.topLeft() + QPointF(HUDLayout::kTextSlack / 2, HUDLayout::kTextSlack / 2);
    p.save();
    p.setClipRect(textRect.intersected(QRectF(rect())), Qt::IntersectClip);
    p.setPen(QColor::fromRgbF(0, 0, 0, 0.8));
    m_layout.draw(&p, origin + QPointF(0, 1));
    p.setPen(Qt::white);
    m_layout.draw(&p, origin);
    p.restore();
}

void HUDView::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (m_onTap)
        m_onTap();
}
