#include "timelinewidget.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>

namespace {

constexpr int Margin = 6;
constexpr double MinGapWidth = 3; // pixels: a gap of a few seconds on a day-long card still shows

QColor gapColor() { return QColor(214, 39, 40); }
QColor unlockedColor() { return QColor(255, 150, 0, 170); }

// The spans of a sorted list that may overlap [from, to): from the first whose end lies
// after `from`. Spans of one channel do not nest, so their ends rise with their starts.
template <typename List>
auto firstFrom(const List &spans, qint64 from)
{
    return std::lower_bound(spans.cbegin(), spans.cend(), from,
                            [](const Stretch &s, qint64 t) { return s.end <= t; });
}

QString timeWithFraction(qint64 t)
{
    return utcText(t) + QStringLiteral(".%1").arg((t % MicrosecondsPerSecond + MicrosecondsPerSecond) % MicrosecondsPerSecond / 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

TimelineWidget::TimelineWidget(QWidget *parent)
    : QWidget(parent)
{
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void TimelineWidget::setPicture(const CardPicture &picture)
{
    const bool sameSpan = picture.start == m_picture.start && picture.end == m_picture.end && !m_picture.isEmpty();
    m_picture = picture;
    if (!sameSpan)
        m_view.reset(picture.start, picture.end);
    updateGeometry();
    update();
}

void TimelineWidget::setSelectedPath(const QString &cardPath)
{
    m_selected = cardPath;
    update();
}

int TimelineWidget::labelWidth() const
{
    int w = fontMetrics().horizontalAdvance(QStringLiteral("XX.VEXA..HHZ"));
    for (const ChannelSpans &c : m_picture.channels)
        w = qMax(w, fontMetrics().horizontalAdvance(c.id));
    return w + 2 * Margin;
}

int TimelineWidget::rowHeight() const
{
    return fontMetrics().height() + 10;
}

int TimelineWidget::axisHeight() const
{
    return 2 * fontMetrics().height() + 10;
}

TimeAxis TimelineWidget::axis() const
{
    const int left = labelWidth();
    return TimeAxis(m_view.start, m_view.end, left, width() - left - Margin);
}

QRect TimelineWidget::rowRect(int row) const
{
    const int left = labelWidth();
    return QRect(left, Margin + row * rowHeight(), width() - left - Margin, rowHeight());
}

QRectF TimelineWidget::gapRect(int row, const Stretch &gap) const
{
    const TimeAxis a = axis();
    const QRect band = rowRect(row);
    double x0 = a.x(gap.start);
    double x1 = a.x(gap.end);
    if (x1 - x0 < MinGapWidth) {
        const double mid = (x0 + x1) / 2;
        x0 = mid - MinGapWidth / 2;
        x1 = mid + MinGapWidth / 2;
    }
    return QRectF(x0, band.top() + 2, x1 - x0, band.height() - 4);
}

int TimelineWidget::rowAt(const QPoint &pos) const
{
    if (pos.y() < Margin || pos.x() < labelWidth())
        return -1;
    const int row = (pos.y() - Margin) / rowHeight();
    return row < m_picture.channels.size() ? row : -1;
}

QString TimelineWidget::toolTipAt(const QPoint &pos) const
{
    const int row = rowAt(pos);
    if (row < 0)
        return QString();
    const ChannelSpans &c = m_picture.channels.at(row);
    const qint64 t = axis().time(pos.x());
    for (const Stretch &g : c.gaps) {
        if (gapRect(row, g).adjusted(-1, 0, 1, 0).contains(pos)) {
            QString text = QStringLiteral("Gap in %1\nfrom %2\nto %3 UTC\n%4")
                               .arg(c.id, timeWithFraction(g.start), timeWithFraction(g.end), durationText(g.length()));
            if (g.unreadableSectors > 0)
                text += QStringLiteral("\n%1 unreadable card sectors").arg(g.unreadableSectors);
            return text + QStringLiteral("\n") + g.cardPath;
        }
    }
    QStringList lines;
    const auto d = firstFrom(c.data, t);
    if (d != c.data.cend() && d->start <= t)
        lines << QStringLiteral("%1 %2\n%3 to %4 UTC").arg(d->cardPath, c.id, utcText(d->start), utcText(d->end));
    for (const Stretch &u : c.unlocked) {
        if (u.start <= t && t < u.end)
            lines << QStringLiteral("Clock unlocked from %1 for %2").arg(utcText(u.start), durationText(u.length()));
    }
    return lines.join(QLatin1Char('\n'));
}

QString TimelineWidget::cardPathAt(const QPoint &pos) const
{
    const int row = rowAt(pos);
    if (row < 0)
        return QString();
    const ChannelSpans &c = m_picture.channels.at(row);
    const TimeAxis a = axis();
    // A pixel either side, so that a file of a fraction of a pixel can still be hit.
    const qint64 from = a.time(pos.x() - 1);
    const qint64 to = a.time(pos.x() + 1);
    const qint64 t = a.time(pos.x());
    QString best;
    qint64 bestDistance = 0;
    for (auto it = firstFrom(c.data, from); it != c.data.cend() && it->start <= to; ++it) {
        const qint64 distance = t < it->start ? it->start - t : (t >= it->end ? t - it->end : 0);
        if (best.isEmpty() || distance < bestDistance) {
            best = it->cardPath;
            bestDistance = distance;
        }
    }
    for (const Stretch &g : c.gaps) {
        if (best.isEmpty() && gapRect(row, g).contains(pos))
            best = g.cardPath;
    }
    return best;
}

QSize TimelineWidget::sizeHint() const
{
    const int rows = qMax(3, int(m_picture.channels.size()));
    return QSize(600, 2 * Margin + rows * rowHeight() + axisHeight());
}

QSize TimelineWidget::minimumSizeHint() const
{
    return QSize(300, 2 * Margin + rowHeight() + axisHeight());
}

bool TimelineWidget::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const QString text = toolTipAt(help->pos());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(event);
}

void TimelineWidget::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QPalette pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    if (m_picture.isEmpty()) {
        p.setPen(pal.color(QPalette::PlaceholderText));
        p.drawText(rect(), Qt::AlignCenter, tr("Open a card to see when its channels recorded."));
        return;
    }
    const TimeAxis a = axis();
    const int rows = int(m_picture.channels.size());
    const QRect plot(a.left(), Margin, int(a.width()), rows * rowHeight());
    const QRect axisArea(plot.left(), plot.bottom() + 2, plot.width(), axisHeight());
    drawTimeAxis(p, a, axisArea, pal, plot);

    QColor barColor = pal.color(QPalette::Highlight);
    QColor selectedColor = pal.color(QPalette::Text);
    p.setClipRect(plot.adjusted(0, 0, 1, 1));
    for (int row = 0; row < rows; ++row) {
        const ChannelSpans &c = m_picture.channels.at(row);
        const QRect band = rowRect(row);
        const double top = band.top() + 5;
        const double height = band.height() - 10;

        // Clock-unlocked stretches shade the whole height of the row, behind the bars:
        // above and below a bar the shade shows, and a bar still shows where data are.
        for (auto it = firstFrom(c.unlocked, m_view.start); it != c.unlocked.cend() && it->start < m_view.end; ++it) {
            const double x0 = a.x(it->start);
            p.fillRect(QRectF(x0, band.top() + 1, qMax(a.x(it->end) - x0, MinGapWidth), band.height() - 2), unlockedColor());
        }
        // Data bars; neighbours that meet within a pixel become one rectangle, so that a
        // card of thousands of files costs a few rectangles.
        bool open = false;
        double runLeft = 0, runRight = 0;
        for (auto it = firstFrom(c.data, m_view.start); it != c.data.cend() && it->start < m_view.end; ++it) {
            const double x0 = a.x(it->start);
            const double x1 = qMax(a.x(it->end), x0 + 1);
            if (open && x0 <= runRight + 0.5) {
                runRight = qMax(runRight, x1);
                continue;
            }
            if (open)
                p.fillRect(QRectF(runLeft, top, runRight - runLeft, height), barColor);
            runLeft = x0;
            runRight = x1;
            open = true;
        }
        if (open)
            p.fillRect(QRectF(runLeft, top, runRight - runLeft, height), barColor);

        // The selected file outlined; the gaps over it, so that none hides.
        if (!m_selected.isEmpty()) {
            p.setPen(QPen(selectedColor, 1.5));
            p.setBrush(Qt::NoBrush);
            for (auto it = firstFrom(c.data, m_view.start); it != c.data.cend() && it->start < m_view.end; ++it) {
                if (it->cardPath == m_selected) {
                    const double x0 = a.x(it->start);
                    p.drawRect(QRectF(x0, top - 2, qMax(a.x(it->end) - x0, 2.0), height + 4));
                }
            }
        }
        for (const Stretch &g : c.gaps) {
            if (g.end < m_view.start || g.start > m_view.end)
                continue;
            const QRectF r = gapRect(row, g);
            if (g.unreadableSectors > 0) {
                p.fillRect(r, pal.color(QPalette::Base));
                p.fillRect(r, QBrush(gapColor(), Qt::BDiagPattern));
                p.setPen(gapColor());
                p.drawRect(r.adjusted(0.5, 0.5, -0.5, -0.5));
            } else {
                p.fillRect(r, gapColor());
            }
        }
    }
    p.setClipping(false);
    p.setPen(pal.color(QPalette::Text));
    for (int row = 0; row < rows; ++row) {
        const QRect band = rowRect(row);
        p.drawText(QRect(Margin, band.top(), labelWidth() - 2 * Margin, band.height()), Qt::AlignVCenter | Qt::AlignLeft,
                   m_picture.channels.at(row).id);
    }
}

void TimelineWidget::wheelEvent(QWheelEvent *event)
{
    if (m_picture.isEmpty())
        return;
    const double steps = event->angleDelta().y() / 120.0;
    m_view.zoom(std::pow(0.8, steps), axis().time(event->position().x()));
    update();
    event->accept();
}

void TimelineWidget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_pressed = true;
    m_dragging = false;
    m_pressPos = event->pos();
    m_pressStart = m_view.start;
}

void TimelineWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressed)
        return;
    if ((event->pos() - m_pressPos).manhattanLength() > 4)
        m_dragging = true;
    if (m_dragging) {
        const TimeAxis a = axis();
        const qint64 delta = a.time(m_pressPos.x()) - a.time(event->pos().x());
        m_view.pan(m_pressStart + delta - m_view.start);
        update();
    }
}

void TimelineWidget::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_pressed)
        return;
    m_pressed = false;
    if (!m_dragging) {
        const QString path = cardPathAt(event->pos());
        if (!path.isEmpty())
            Q_EMIT fileClicked(path);
    }
    m_dragging = false;
}

void TimelineWidget::mouseDoubleClickEvent(QMouseEvent *)
{
    m_view.reset(m_picture.start, m_picture.end);
    update();
}
