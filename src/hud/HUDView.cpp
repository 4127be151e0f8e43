#include "hud/HUDView.h"

#include "hud/MessageLines.h"

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

// Text layout costs more than linearly in the length of a word, so a long
// message is laid out in chunks: each layout sees a window of the text that
// starts where the last whole line of the chunk before ended. Lines stop
// below the tallest card there can be, or once the bound is laid out, which
// only text that is nearly all zero-width (marks, joiners) reaches.
constexpr qsizetype kLongMessage = 4096;
constexpr qsizetype kChunk = 2048;
constexpr qsizetype kMaxLaidOut = 1 << 18;
// How far a cut may move back to keep a character and its marks together.
constexpr qsizetype kMaxCutBacktrack = 32;

// Where to cut text at `length` UTF-16 units, moved back so that no
// surrogate pair and, within reason, no character and its marks are split.
qsizetype cutAt(QStringView text, qsizetype length)
{
    if (length >= text.size())
        return text.size();
    qsizetype cut = length;
    const qsizetype floor = std::max<qsizetype>(1, length - kMaxCutBacktrack);
    while (cut > floor && (text.at(cut).isLowSurrogate() || text.at(cut).isMark()))
        --cut;
    if (text.at(cut).isLowSurrogate())
        --cut;
    return cut;
}

QTextOption cardTextOption()
{
    QTextOption option;
    // Wrap between words; a single word wider than the limit is broken.
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setAlignment(Qt::AlignLeft);
    return option;
}

} // namespace

QFont HUDView::messageFont()
{
    QFont font = QApplication::font();
    font.setPixelSize(HUDLayout::kFontPixelSize);
    font.setBold(true);
    return font;
}

void HUDView::openMessageFont()
{
    QTextLayout layout(QStringLiteral("Ferrowhistle"), messageFont());
    measure(layout);
}

QSizeF HUDView::measure(QTextLayout &layout, double maxHeight, int *lines)
{
    layout.setTextOption(cardTextOption());
    layout.setCacheEnabled(true);
    layout.beginLayout();
    double y = 0;
    double width = 0;
    int kept = 0;
    // Lines below the tallest card there can be are never seen.
    while (y < kMaxWindowExtent) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(HUDLayout::kMaxTextWidth);
        if (kept > 0 && y + line.height() > maxHeight)
            break;
        line.setPosition(QPointF(0, y));
        y += line.height();
        width = std::max(width, line.naturalTextWidth());
        ++kept;
    }
    layout.endLayout();
    if (lines)
        *lines = kept;
    return QSizeF(std::min(width, HUDLayout::kMaxTextWidth), y);
}

HUDView::HUDView(const QString &message, std::function<void()> onTap, double maxTextHeight, QWidget *parent)
    : QWidget(parent), m_onTap(std::move(onTap))
{
    // One unit past the most that is ever laid out, so that a cut there
    // still tells a whole text from a part.
    const QString text = MessageLines::forLayout(message, kMaxLaidOut + 1);
    if (text.size() <= kLongMessage) {
        auto layout = std::make_unique<QTextLayout>(text, messageFont());
        int lines = 0;
        m_measured = measure(*layout, maxTextHeight, &lines);
        if (lines == layout->lineCount()) {
            m_laidOut = text.size();
        } else {
            const QTextLine last = layout->lineAt(lines - 1);
            m_laidOut = last.textStart() + last.textLength();
        }
        m_chunks.push_back(Chunk{std::move(layout), lines});
    } else {
        layOutLong(text, maxTextHeight);
    }
    m_shownText = MessageLines::plain(QStringView(text).left(m_laidOut));
    m_geometry = HUDLayout::cardGeometry(m_measured);
    if (m_geometry.size.height() > kMaxWindowExtent)
        m_geometry.size.setHeight(kMaxWindowExtent);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    resize(static_cast<int>(std::ceil(m_geometry.size.width())), static_cast<int>(std::ceil(m_geometry.size.height())));
}

int HUDView::lineCount() const
{
    int n = 0;
    for (const Chunk &c : m_chunks)
        n += c.lines;
    return n;
}

void HUDView::layOutLong(const QString &text, double maxTextHeight)
{
    const QFont font = messageFont();
    const QTextOption option = cardTextOption();
    const QStringView all(text);
    double y = 0;
    double width = 0;
    qsizetype pos = 0;
    bool full = false;
    while (!full && pos < text.size() && y < kMaxWindowExtent && pos < kMaxLaidOut) {
        const QStringView rest = all.mid(pos);
        const qsizetype cut = cutAt(rest, kChunk);
        const bool lastChunk = cut == rest.size();
        auto layout = std::make_unique<QTextLayout>(rest.left(cut).toString(), font);
        layout->setTextOption(option);
        layout->setCacheEnabled(true);
        layout->beginLayout();
        int kept = 0;
        qsizetype consumed = 0;
        while (y < kMaxWindowExtent) {
            QTextLine line = layout->createLine();
            if (!line.isValid())
                break;
            line.setLineWidth(HUDLayout::kMaxTextWidth);
            const qsizetype end = line.textStart() + line.textLength();
            // A line that reaches the end of the window may go on beyond
            // it: the next chunk lays it out again, unless it is the
            // chunk's only line (a window too narrow to fill a line).
            if (end >= cut && !lastChunk && kept > 0)
                break;
            if (y + line.height() > maxTextHeight && (kept > 0 || !m_chunks.empty())) {
                full = true;
                break;
            }
            line.setPosition(QPointF(0, y));
            y += line.height();
            width = std::max(width, line.naturalTextWidth());
            consumed = end;
            ++kept;
        }
        layout->endLayout();
        if (kept == 0 || consumed <= 0)
            break;
        pos += consumed;
        m_chunks.push_back(Chunk{std::move(layout), kept});
    }
    m_laidOut = pos;
    m_measured = QSizeF(std::min(width, HUDLayout::kMaxTextWidth), y);
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
    // Only the lines in the exposed part are drawn: a card for a long
    // message is far taller than any screen.
    const QRectF exposed = QRectF(event->rect()).translated(-origin).adjusted(0, -2, 0, 2);
    for (const Chunk &c : m_chunks) {
        for (int i = 0; i < c.lines; ++i) {
            const QTextLine line = c.layout->lineAt(i);
            if (!line.rect().intersects(exposed))
                continue;
            p.setPen(QColor::fromRgbF(0, 0, 0, 0.8));
            line.draw(&p, origin + QPointF(0, 1));
            p.setPen(Qt::white);
            line.draw(&p, origin);
        }
    }
    p.restore();
}

void HUDView::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (m_onTap)
        m_onTap();
}
