#include "waveformwidget.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <cmath>

namespace {

constexpr int Margin = 6;

QString amplitude(float v)
{
    return QString::number(double(v), 'g', 7);
}

} // namespace

WaveformWidget::WaveformWidget(QWidget *parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setCursor(Qt::OpenHandCursor);
}

void WaveformWidget::setQuickLook(std::shared_ptr<const QuickLook> look)
{
    m_look = std::move(look);
    m_message.clear();
    if (m_look)
        m_view.reset(m_look->start, m_look->end);
    update();
}

void WaveformWidget::setMessage(const QString &message)
{
    m_look.reset();
    m_message = message;
    update();
}

int WaveformWidget::labelHeight() const
{
    return fontMetrics().height() + 2;
}

int WaveformWidget::axisHeight() const
{
    return 2 * fontMetrics().height() + 10;
}

TimeAxis WaveformWidget::axis() const
{
    return TimeAxis(m_view.start, m_view.end, Margin, width() - 2 * Margin);
}

QRect WaveformWidget::traceRect(int index) const
{
    const int count = m_look ? qMax(1, int(m_look->traces.size())) : 1;
    const int available = height() - axisHeight() - Margin;
    const int h = available / count;
    return QRect(Margin, Margin + index * h, width() - 2 * Margin, h - Margin);
}

QSize WaveformWidget::sizeHint() const
{
    return QSize(600, 300);
}

QSize WaveformWidget::minimumSizeHint() const
{
    return QSize(300, 3 * (labelHeight() + 24) + axisHeight());
}

void WaveformWidget::drawTrace(QPainter &p, const Trace &trace, const QRect &band) const
{
    const TimeAxis a = axis();
    const ColumnExtent range = trace.extent(m_view.start, m_view.end);
    const QRect plot = band.adjusted(0, labelHeight(), 0, 0);
    const QPalette pal = palette();

    p.setPen(pal.color(QPalette::Text));
    p.drawText(QPointF(band.left(), band.top() + fontMetrics().ascent()), trace.id);
    if (range.valid) {
        const QString text = QStringLiteral("%1 … %2").arg(amplitude(range.lo), amplitude(range.hi));
        p.setPen(pal.color(QPalette::PlaceholderText));
        p.drawText(QPointF(band.right() - fontMetrics().horizontalAdvance(text), band.top() + fontMetrics().ascent()), text);
    }
    QColor frame = pal.color(QPalette::Text);
    frame.setAlpha(50);
    p.setPen(frame);
    p.drawRect(QRectF(plot).adjusted(0.5, 0.5, -0.5, -0.5));
    if (!range.valid || plot.height() < 3)
        return;

    const double lo = range.lo;
    const double span = range.hi > range.lo ? double(range.hi) - lo : 1.0;
    const double top = plot.top() + 2;
    const double h = plot.height() - 4;
    const auto y = [&](double v) { return top + h - (v - lo) / span * h; };

    p.save();
    p.setClipRect(plot);
    p.setPen(QPen(pal.color(QPalette::Text), 0));
    // Device pixels: on a high-DPI screen each physical column gets its own extent.
    const double dpr = devicePixelRatioF();
    const int columns = qMax(1, int(std::lround(a.width() * dpr)));
    const double perColumn = double(m_view.end - m_view.start) / columns;
    double samplesPerColumn = 0;
    bool exact = true;
    for (const TraceSegment &s : trace.segments) {
        samplesPerColumn = qMax(samplesPerColumn, s.rate * perColumn / 1e6);
        exact = exact && s.samples.isExact();
    }

    // A long file's trace keeps buckets, not samples: its columns show their extents.
    if (samplesPerColumn < 2 && exact) {
        // Few samples in view: the samples themselves, joined, a break between segments.
        for (const TraceSegment &s : trace.segments) {
            const qint64 first = qMax<qint64>(0, s.indexAt(m_view.start) - 1);
            const qint64 last = qMin<qint64>(s.samples.size(), s.indexAt(m_view.end) + 1);
            if (last <= first)
                continue;
            QPolygonF line;
            line.reserve(int(last - first));
            for (qint64 i = first; i < last; ++i) {
                const qint64 t = s.start + qint64(std::llround(double(i) * 1e6 / s.rate));
                line.append(QPointF(a.x(t), y(s.samples.sample(i))));
            }
            p.drawPolyline(line);
        }
    } else {
        const QVector<ColumnExtent> cols = trace.columns(m_view.start, m_view.end, columns);
        QVector<QLineF> lines;
        lines.reserve(cols.size());
        for (int c = 0; c < cols.size(); ++c) {
            if (!cols.at(c).valid)
                continue;
            double low = cols.at(c).lo;
            double high = cols.at(c).hi;
            // Joined to the column before, so that a steep slope stays one line.
            if (c > 0 && cols.at(c - 1).valid) {
                low = qMin(low, double(cols.at(c - 1).hi));
                high = qMax(high, double(cols.at(c - 1).lo));
            }
            const double x = a.left() + (c + 0.5) / dpr;
            lines.append(QLineF(x, y(high), x, y(low) + 1.0 / dpr));
        }
        p.drawLines(lines);
    }
    p.restore();
}

void WaveformWidget::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QPalette pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    if (!m_look || m_look->isEmpty()) {
        p.setPen(pal.color(QPalette::PlaceholderText));
        const QString text = !m_message.isEmpty()                ? m_message
                             : m_look && !m_look->message.isEmpty() ? m_look->message
                             : m_look                               ? tr("No samples in this file.")
                                                 : tr("Select a file to see its traces.");
        p.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, text);
        return;
    }
    for (int i = 0; i < m_look->traces.size(); ++i)
        drawTrace(p, m_look->traces.at(i), traceRect(i));
    const QRect last = traceRect(int(m_look->traces.size()) - 1);
    drawTimeAxis(p, axis(), QRect(Margin, last.bottom() + 2, width() - 2 * Margin, axisHeight()), pal,
                 QRect(Margin, Margin, width() - 2 * Margin, last.bottom() - Margin));
    Q_EMIT painted();
}

void WaveformWidget::wheelEvent(QWheelEvent *event)
{
    if (!m_look)
        return;
    m_view.zoom(std::pow(0.8, event->angleDelta().y() / 120.0), axis().time(event->position().x()));
    update();
    event->accept();
}

void WaveformWidget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_pressed = true;
    m_pressPos = event->pos();
    m_pressStart = m_view.start;
    setCursor(Qt::ClosedHandCursor);
}

void WaveformWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressed || !m_look)
        return;
    const TimeAxis a = axis();
    m_view.pan(m_pressStart + a.time(m_pressPos.x()) - a.time(event->pos().x()) - m_view.start);
    update();
}

void WaveformWidget::mouseReleaseEvent(QMouseEvent *)
{
    m_pressed = false;
    setCursor(Qt::OpenHandCursor);
}

void WaveformWidget::mouseDoubleClickEvent(QMouseEvent *)
{
    if (m_look)
        m_view.reset(m_look->start, m_look->end);
    update();
}
