#pragma once

#include "hud/HUDLayout.h"

#include <QTextLayout>
#include <QWidget>

#include <functional>
#include <limits>
#include <memory>
#include <vector>

// The card: the application icon on the left and the message in large white
// bold type on a dark rounded background. The text is laid out with the font
// it is drawn with, so what is measured is what is painted. Only as much of
// a long message is laid out as the tallest card can show.
class HUDView final : public QWidget {
    Q_OBJECT
public:
    static constexpr double kUnbounded = std::numeric_limits<double>::infinity();

    // maxTextHeight bounds the text: a line that would end below it is not
    // made (the first line always is), so the card is cut at a whole line.
    HUDView(const QString &message, std::function<void()> onTap, double maxTextHeight = kUnbounded,
            QWidget *parent = nullptr);

    // The card's geometry (y up, as the layout rules define it).
    const HUDLayout::CardGeometry &geometryInPoints() const { return m_geometry; }
    // The wrapped text's measured size before rounding.
    QSizeF measuredTextSize() const { return m_measured; }
    int lineCount() const;
    // How much of the card's text was laid out (UTF-16 units). The card's
    // text is the message with its trailing line breaks dropped and CR LF
    // as one break, so for other messages the units are the message's.
    qsizetype laidOutLength() const { return m_laidOut; }
    // The text the card shows, line breaks as LF: what a screen reader says.
    const QString &shownText() const { return m_shownText; }

    // The font the card draws with: the desktop's general font, 28 px, bold.
    static QFont messageFont();
    // Opens that font and shapes a word with it, so that the first card
    // doesn't have to.
    static void openMessageFont();
    // Lays a message out the way the card does and returns its size; lines
    // that would start below the tallest card, or end below maxHeight, are
    // not made. `lines` receives how many lines are the card's.
    static QSizeF measure(QTextLayout &layout, double maxHeight = kUnbounded, int *lines = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void layOutLong(const QString &text, double maxTextHeight);

    std::function<void()> m_onTap;
    // One layout for a message of ordinary length, several for a long one;
    // only the first `lines` lines of each are the card's.
    struct Chunk {
        std::unique_ptr<QTextLayout> layout;
        int lines = 0;
    };
    std::vector<Chunk> m_chunks;
    qsizetype m_laidOut = 0;
    QString m_shownText;
    QSizeF m_measured;
    HUDLayout::CardGeometry m_geometry;
};
