#include "timelinewidget.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>

namespace {

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

TimelinePainter TimelineWidget::painter() const
{
    return TimelinePainter(m_picture, fontMetrics(), width());
}

TimeAxis TimelineWidget::axis() const
{
    return painter().axis(m_view.start, m_view.end);
}

QRect TimelineWidget::rowRect(int row) const
{
    return painter().rowRect(row);
}

QRectF TimelineWidget::gapRect(int row, const Stretch &gap) const
{
    return painter().gapRect(axis(), row, gap);
}

int TimelineWidget::rowAt(const QPoint &pos) const
{
    return painter().rowAt(pos);
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
    const auto d = firstStretchFrom(c.data, t);
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
    for (auto it = firstStretchFrom(c.data, from); it != c.data.cend() && it->start <= to; ++it) {
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
    const TimelinePainter layout = painter();
    const int rows = qMax(3, int(m_picture.channels.size()));
    return QSize(600, layout.height() + (rows - int(m_picture.channels.size())) * layout.rowHeight());
}

QSize TimelineWidget::minimumSizeHint() const
{
    const TimelinePainter layout = painter();
    return QSize(300, layout.height() - (int(m_picture.channels.size()) - 1) * layout.rowHeight());
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
    painter().paint(p, m_view.start, m_view.end, pal, m_selected);
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
