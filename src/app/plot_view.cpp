// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/plot_view.h"

#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kMarginLeft = 58;
constexpr double kMarginRight = 8;
constexpr double kMarginTop = 6;
constexpr double kMarginBottom = 20;
// Pixel coordinates handed to the painter stay well inside what it handles.
constexpr double kPixelLimit = 1e6;
constexpr std::size_t kLegendRows = 12;
constexpr std::size_t kReadoutRows = 12;

double clampPixel(double v)
{
    if (std::isnan(v))
        return 0.0;
    return std::clamp(v, -kPixelLimit, kPixelLimit);
}

// 1, 2 or 5 times a power of ten, so that span holds about `count` steps.
double niceStep(double span, int count)
{
    if (!(span > 0) || !std::isfinite(span))
        return 0.0;
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    if (!(power > 0) || !std::isfinite(power))
        return 0.0;
    for (const double m : { 1.0, 2.0, 5.0, 10.0 }) {
        if (m * power >= raw)
            return m * power;
    }
    return 10.0 * power;
}

int decimalsFor(double step)
{
    if (!(step > 0))
        return 0;
    return std::clamp(static_cast<int>(-std::floor(std::log10(step))), 0, 6);
}

QString number(double v, double step)
{
    if (std::fabs(v) >= 1e7 || (std::fabs(v) < 1e-4 && v != 0.0 && step < 1e-4))
        return QString::number(v, 'g', 4);
    if (std::fabs(v) < step * 1e-6)
        v = 0.0; // no "-0.000" at the origin
    return QString::number(v, 'f', decimalsFor(step));
}

QString valueText(double v)
{
    if (std::isnan(v))
        return QStringLiteral("nan");
    if (std::isinf(v))
        return v < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    return QString::number(v, 'g', 8);
}

} // namespace

PlotView::PlotView(const merovan::SeriesStore& store, const merovan::SeriesParser& parser, QWidget* parent)
    : QWidget(parent)
    , m_store(store)
    , m_parser(parser)
{
    setObjectName(QStringLiteral("PlotView"));
    setMouseTracking(true);
    setMinimumSize(200, 120);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setToolTip(QStringLiteral("Wheel: zoom time (Ctrl: values). Drag: pan. Double-click: back to now."));
}

QColor PlotView::colourFor(const std::string& name)
{
    // Colours that stay apart on white; FNV-1a picks one, so the same name
    // has the same colour in every session.
    static const QRgb palette[] = { 0x1f77b4, 0xd62728, 0x2ca02c, 0xff7f0e, 0x9467bd, 0x8c564b, 0xe377c2,
                                    0x17becf, 0xbcbd22, 0x7f7f7f, 0x393b79, 0x637939, 0x8c6d31, 0x843c39,
                                    0x7b4173, 0x3182bd, 0xe6550d, 0x31a354, 0x756bb1, 0x636363 };
    std::uint32_t h = 2166136261u;
    for (const char c : name) {
        h ^= static_cast<std::uint8_t>(c);
        h *= 16777619u;
    }
    return QColor(palette[h % std::size(palette)]);
}

void PlotView::setAxis(merovan::SeriesAxis axis)
{
    if (m_axis == axis)
        return;
    m_axis = axis;
    m_frozen.reset(); // a range in the other unit means nothing
    update();
}

void PlotView::setWindowMs(double windowMs)
{
    m_windowMs = std::max(0.0, windowMs);
    update();
}

void PlotView::setFixedY(double y0, double y1)
{
    if (y1 < y0)
        std::swap(y0, y1);
    if (!(y1 > y0))
        y1 = y0 + 1;
    m_fixedY0 = y0;
    m_fixedY1 = y1;
}

void PlotView::freeze()
{
    if (!m_frozen)
        m_frozen = m_frames > 0 ? m_last : liveRange();
}

void PlotView::follow()
{
    m_frozen.reset();
    update();
}

void PlotView::takeControl()
{
    const bool wasFrozen = m_frozen.has_value();
    freeze();
    if (!wasFrozen)
        emit userMovedView();
}

QRectF PlotView::plotArea() const
{
    return QRectF(kMarginLeft, kMarginTop, std::max(10.0, width() - kMarginLeft - kMarginRight),
                  std::max(10.0, height() - kMarginTop - kMarginBottom));
}

PlotView::Range PlotView::liveRange() const
{
    Range r;
    const bool time = m_axis == merovan::SeriesAxis::Time;
    if (m_store.empty()) {
        r.x1 = time ? std::max(m_windowMs, 1000.0) : 100;
        return r;
    }
    // What the rings still keep, over the series shown.
    double first = std::numeric_limits<double>::infinity();
    double windowStart = std::numeric_limits<double>::infinity();
    const double t0 = static_cast<double>(m_store.lastTimeMs()) - m_windowMs;
    for (std::size_t i = 0; i < m_store.seriesCount(); ++i) {
        const merovan::SeriesRing& ring = m_store.series(i);
        if (ring.size() == 0 || !shown(i))
            continue;
        const merovan::SeriesSample& oldest = ring.at(ring.begin());
        first = std::min(first, time ? static_cast<double>(oldest.timeMs) : static_cast<double>(oldest.line));
        const std::uint64_t at = ring.lowerBound(merovan::SeriesAxis::Time, t0);
        if (at < ring.end())
            windowStart = std::min(windowStart, static_cast<double>(ring.at(at).line));
    }
    if (time) {
        r.x1 = static_cast<double>(m_store.lastTimeMs());
        r.x0 = m_windowMs > 0 ? r.x1 - m_windowMs : first;
        if (!(r.x1 - r.x0 >= 1000))
            r.x0 = r.x1 - 1000;
    } else {
        r.x1 = static_cast<double>(m_store.lastLine());
        r.x0 = m_windowMs > 0 ? windowStart : first;
        if (!std::isfinite(r.x0) || r.x1 - r.x0 < 10)
            r.x0 = r.x1 - 10;
    }
    return r;
}

void PlotView::autoscale(Range& r, int) const
{
    if (!m_autoY) {
        r.y0 = m_fixedY0;
        r.y1 = m_fixedY1;
        return;
    }
    bool any = false;
    double lo = 0, hi = 0;
    for (std::size_t i = 0; i < m_store.seriesCount(); ++i) {
        if (!shown(i))
            continue;
        const merovan::SeriesRing& ring = m_store.series(i);
        const std::uint64_t from = ring.lowerBound(m_axis, r.x0);
        const std::uint64_t to = ring.lowerBound(m_axis, std::nextafter(r.x1, std::numeric_limits<double>::infinity()));
        const merovan::SeriesColumn c = ring.range(from, to);
        if (!c.any)
            continue;
        lo = any ? std::min(lo, c.min) : c.min;
        hi = any ? std::max(hi, c.max) : c.max;
        any = true;
    }
    if (!any) {
        r.y0 = 0;
        r.y1 = 1;
        return;
    }
    // Halves keep the sums finite for values near the largest doubles.
    const double pad = hi * 0.05 - lo * 0.05;
    if (pad > 0) {
        r.y0 = std::max(lo - pad, std::numeric_limits<double>::lowest());
        r.y1 = std::min(hi + pad, std::numeric_limits<double>::max());
    } else {
        const double around = std::max(std::fabs(lo) * 0.1, 1e-9);
        r.y0 = lo - around;
        r.y1 = hi + around;
    }
}

double PlotView::xToPixel(double x, const Range& r, const QRectF& area) const
{
    return clampPixel(area.left() + (x - r.x0) / (r.x1 - r.x0) * area.width());
}

double PlotView::yToPixel(double y, const Range& r, const QRectF& area) const
{
    const double h0 = r.y0 * 0.5;
    const double h1 = r.y1 * 0.5;
    return clampPixel(area.top() + (h1 - y * 0.5) / (h1 - h0) * area.height());
}

double PlotView::pixelToX(double px, const Range& r, const QRectF& area) const
{
    return r.x0 + (px - area.left()) / area.width() * (r.x1 - r.x0);
}

double PlotView::pixelToY(double py, const Range& r, const QRectF& area) const
{
    const double f = (py - area.top()) / area.height();
    return 2.0 * (r.y1 * 0.5 - f * (r.y1 * 0.5 - r.y0 * 0.5));
}

QString PlotView::xLabel(double x) const
{
    if (m_axis == merovan::SeriesAxis::Sample)
        return QStringLiteral("sample %1").arg(QString::number(std::llround(x)));
    return QStringLiteral("%1 s").arg(QString::number((x - static_cast<double>(m_store.firstTimeMs())) / 1000.0, 'f', 3));
}

void PlotView::drawSeries(QPainter& p, std::size_t index, const Range& r, const QRectF& area) const
{
    const merovan::SeriesRing& ring = m_store.series(index);
    if (ring.size() == 0)
        return;
    p.setPen(QPen(colourFor(m_parser.names().at(index)), 1.0));
    const std::uint64_t lo = ring.lowerBound(m_axis, r.x0);
    const std::uint64_t hi = ring.lowerBound(m_axis, std::nextafter(r.x1, std::numeric_limits<double>::infinity()));
    const int columns = std::max(1, static_cast<int>(area.width()));
    auto xOf = [this](const merovan::SeriesSample& s) {
        return m_axis == merovan::SeriesAxis::Time ? static_cast<double>(s.timeMs) : static_cast<double>(s.line);
    };
    if (hi - lo <= static_cast<std::uint64_t>(2 * columns)) {
        // Few enough to draw each, with one beyond either edge so the line
        // leaves the plot instead of stopping short.
        const std::uint64_t from = lo > ring.begin() ? lo - 1 : lo;
        const std::uint64_t to = hi < ring.end() ? hi + 1 : hi;
        QPolygonF run;
        auto flush = [&] {
            if (run.size() == 1)
                p.drawPoint(run.front());
            else if (run.size() > 1)
                p.drawPolyline(run);
            run.clear();
        };
        for (std::uint64_t n = from; n < to; ++n) {
            const merovan::SeriesSample& s = ring.at(n);
            if (!std::isfinite(s.value)) {
                flush();
                continue;
            }
            run.append(QPointF(xToPixel(xOf(s), r, area), yToPixel(s.value, r, area)));
        }
        flush();
        return;
    }
    const std::vector<merovan::SeriesColumn> cols = ring.columns(m_axis, r.x0, r.x1, columns);
    std::vector<QLineF> lines;
    lines.reserve(cols.size() * 2);
    const merovan::SeriesColumn* previous = nullptr;
    for (int c = 0; c < columns; ++c) {
        const merovan::SeriesColumn& col = cols[static_cast<std::size_t>(c)];
        if (!col.any) {
            previous = nullptr;
            continue;
        }
        const double x = area.left() + c + 0.5;
        const double top = yToPixel(col.max, r, area);
        const double bottom = yToPixel(col.min, r, area);
        lines.emplace_back(x, top, x, bottom + (bottom - top < 1 ? 1 : 0));
        if (previous && !col.gap && std::isfinite(previous->last) && std::isfinite(col.first))
            lines.emplace_back(x - 1, yToPixel(previous->last, r, area), x, yToPixel(col.first, r, area));
        previous = &col;
    }
    p.drawLines(lines.data(), static_cast<int>(lines.size()));
}

void PlotView::drawLegend(QPainter& p, const QRectF& area) const
{
    std::vector<std::size_t> entries;
    for (std::size_t i = 0; i < m_store.seriesCount() && i < m_parser.names().size(); ++i) {
        if (shown(i) && m_store.series(i).size() > 0)
            entries.push_back(i);
    }
    if (entries.empty())
        return;
    const QFontMetrics fm(font());
    const std::size_t rows = std::min(entries.size(), kLegendRows);
    int width = 0;
    for (std::size_t k = 0; k < rows; ++k)
        width = std::max(width, fm.horizontalAdvance(QString::fromLatin1(m_parser.names()[entries[k]])));
    const int more = static_cast<int>(entries.size() - rows);
    if (more > 0)
        width = std::max(width, fm.horizontalAdvance(QStringLiteral("+%1 more").arg(more)));
    const int lineHeight = fm.height();
    const QRectF box(area.left() + 6, area.top() + 4, width + 30,
                     lineHeight * (static_cast<int>(rows) + (more > 0 ? 1 : 0)) + 6);
    p.setPen(QColor(200, 200, 200));
    p.setBrush(QColor(255, 255, 255, 215));
    p.drawRect(box);
    p.setBrush(Qt::NoBrush);
    for (std::size_t k = 0; k < rows; ++k) {
        const double y = box.top() + 3 + lineHeight * static_cast<double>(k) + lineHeight / 2.0;
        const std::string& name = m_parser.names()[entries[k]];
        p.setPen(QPen(colourFor(name), 2));
        p.drawLine(QPointF(box.left() + 5, y), QPointF(box.left() + 20, y));
        p.setPen(Qt::black);
        p.drawText(QRectF(box.left() + 25, y - lineHeight / 2.0, width + 4, lineHeight), Qt::AlignVCenter,
                   QString::fromLatin1(name));
    }
    if (more > 0) {
        p.setPen(Qt::darkGray);
        p.drawText(QRectF(box.left() + 25, box.top() + 3 + lineHeight * static_cast<double>(rows), width + 4, lineHeight),
                   Qt::AlignVCenter, QStringLiteral("+%1 more").arg(more));
    }
}

void PlotView::drawReadout(QPainter& p, const Range& r, const QRectF& area) const
{
    if (!m_cursor || !area.contains(*m_cursor))
        return;
    const double x = pixelToX(m_cursor->x(), r, area);
    p.setPen(QPen(QColor(90, 90, 90), 1, Qt::DashLine));
    p.drawLine(QPointF(m_cursor->x(), area.top()), QPointF(m_cursor->x(), area.bottom()));
    QStringList lines { xLabel(x) + QStringLiteral("   y %1").arg(valueText(pixelToY(m_cursor->y(), r, area))) };
    std::vector<QColor> colours { Qt::black };
    for (std::size_t i = 0; i < m_store.seriesCount() && lines.size() <= static_cast<qsizetype>(kReadoutRows); ++i) {
        if (!shown(i))
            continue;
        const merovan::SeriesRing& ring = m_store.series(i);
        if (ring.size() == 0)
            continue;
        // The sample nearest the cursor on the X axis.
        std::uint64_t at = ring.lowerBound(m_axis, x);
        auto xOf = [this](const merovan::SeriesSample& s) {
            return m_axis == merovan::SeriesAxis::Time ? static_cast<double>(s.timeMs) : static_cast<double>(s.line);
        };
        if (at == ring.end() || (at > ring.begin() && x - xOf(ring.at(at - 1)) < xOf(ring.at(at)) - x))
            at = at > ring.begin() ? at - 1 : at;
        if (at >= ring.end())
            continue;
        const std::string& name = m_parser.names().at(i);
        lines << QString::fromLatin1(name) + QStringLiteral(": ") + valueText(ring.at(at).value);
        colours.push_back(colourFor(name));
    }
    const QFontMetrics fm(font());
    int width = 0;
    for (const QString& l : lines)
        width = std::max(width, fm.horizontalAdvance(l));
    QRectF box(m_cursor->x() + 10, m_cursor->y() + 10, width + 10, fm.height() * lines.size() + 6);
    if (box.right() > area.right())
        box.moveRight(m_cursor->x() - 10);
    if (box.bottom() > area.bottom())
        box.moveBottom(std::max(area.top() + box.height(), m_cursor->y() - 10));
    p.setPen(QColor(120, 120, 120));
    p.setBrush(QColor(255, 255, 225, 235));
    p.drawRect(box);
    for (qsizetype k = 0; k < lines.size(); ++k) {
        p.setPen(colours[static_cast<std::size_t>(k)]);
        p.drawText(QRectF(box.left() + 5, box.top() + 3 + fm.height() * static_cast<double>(k), width + 4, fm.height()),
                   Qt::AlignVCenter, lines[k]);
    }
}

void PlotView::paintEvent(QPaintEvent*)
{
    QElapsedTimer took;
    took.start();
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    Range r;
    if (m_frozen) {
        r = *m_frozen;
    } else {
        r = liveRange();
        autoscale(r, width());
    }
    const QRectF area = plotArea();
    const QFontMetrics fm(font());

    // Grid and labels.
    p.setPen(QColor(228, 228, 228));
    const double yStep = niceStep(r.y1 - r.y0, std::max(2, static_cast<int>(area.height() / 40)));
    const bool time = m_axis == merovan::SeriesAxis::Time;
    // Time ticks fall on whole steps of seconds since the first sample.
    const double origin = time ? static_cast<double>(m_store.firstTimeMs()) : 0.0;
    const double unit = time ? 1000.0 : 1.0;
    double xStep = niceStep((r.x1 - r.x0) / unit, std::max(2, static_cast<int>(area.width() / 90))) * unit;
    if (!time && xStep > 0)
        xStep = std::max(1.0, xStep);
    std::vector<std::pair<double, QString>> xTicks;
    if (xStep > 0) {
        double x = std::ceil((r.x0 - origin) / xStep) * xStep + origin;
        for (int guard = 0; x <= r.x1 && guard < 100; x += xStep, ++guard)
            xTicks.emplace_back(x, number((x - origin) / unit, xStep / unit));
    }
    std::vector<std::pair<double, QString>> yTicks;
    if (yStep > 0) {
        double y = std::ceil(r.y0 / yStep) * yStep;
        for (int guard = 0; y <= r.y1 && guard < 100; y += yStep, ++guard)
            yTicks.emplace_back(y, number(y, yStep));
    } else {
        yTicks.emplace_back(r.y0, QString::number(r.y0, 'g', 3));
        yTicks.emplace_back(r.y1, QString::number(r.y1, 'g', 3));
    }
    for (const auto& [x, text] : xTicks) {
        const double px = xToPixel(x, r, area);
        p.setPen(QColor(228, 228, 228));
        p.drawLine(QPointF(px, area.top()), QPointF(px, area.bottom()));
        p.setPen(Qt::darkGray);
        p.drawText(QRectF(px - 50, area.bottom() + 2, 100, kMarginBottom - 2), Qt::AlignHCenter | Qt::AlignTop, text);
    }
    for (const auto& [y, text] : yTicks) {
        const double py = yToPixel(y, r, area);
        p.setPen(QColor(228, 228, 228));
        p.drawLine(QPointF(area.left(), py), QPointF(area.right(), py));
        p.setPen(Qt::darkGray);
        p.drawText(QRectF(0, py - fm.height() / 2.0, kMarginLeft - 4, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                   text);
    }
    p.setPen(QColor(160, 160, 160));
    p.drawRect(area);

    p.save();
    p.setClipRect(area.adjusted(0, 0, 1, 1));
    for (std::size_t i = 0; i < m_store.seriesCount() && i < m_parser.names().size(); ++i) {
        if (shown(i))
            drawSeries(p, i, r, area);
    }
    p.restore();
    drawLegend(p, area);
    drawReadout(p, r, area);
    if (m_store.empty()) {
        p.setPen(Qt::darkGray);
        p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap,
                   QStringLiteral("Lines of numbers from the port appear here:\nlabel:value pairs or bare values, "
                                  "separated by commas, tabs or blanks"));
    }
    m_last = r;
    ++m_frames;
    m_paintMicros += static_cast<std::uint64_t>(took.nsecsElapsed() / 1000);
}

void PlotView::wheelEvent(QWheelEvent* event)
{
    const QRectF area = plotArea();
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    takeControl();
    Range& r = *m_frozen;
    const double factor = delta > 0 ? 0.8 : 1.25;
    const QPointF at = event->position();
    if (event->modifiers() & Qt::ControlModifier) {
        const double y = pixelToY(at.y(), r, area);
        const double y0 = y - (y - r.y0) * factor;
        const double y1 = y + (r.y1 - y) * factor;
        if (std::isfinite(y0) && std::isfinite(y1) && y1 - y0 > 1e-300) {
            r.y0 = y0;
            r.y1 = y1;
        }
    } else {
        const double x = pixelToX(at.x(), r, area);
        const double x0 = x - (x - r.x0) * factor;
        const double x1 = x + (r.x1 - x) * factor;
        if (x1 - x0 > 1e-3) {
            r.x0 = x0;
            r.x1 = x1;
        }
    }
    update();
    event->accept();
}

void PlotView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    takeControl();
    m_dragFrom = event->position();
    m_dragRange = *m_frozen;
    setCursor(Qt::ClosedHandCursor);
}

void PlotView::mouseMoveEvent(QMouseEvent* event)
{
    m_cursor = event->position();
    if (m_dragFrom && m_frozen) {
        const QRectF area = plotArea();
        const double dx = (event->position().x() - m_dragFrom->x()) / area.width() * (m_dragRange.x1 - m_dragRange.x0);
        const double dy = (event->position().y() - m_dragFrom->y()) / area.height()
            * (m_dragRange.y1 * 0.5 - m_dragRange.y0 * 0.5) * 2.0;
        m_frozen->x0 = m_dragRange.x0 - dx;
        m_frozen->x1 = m_dragRange.x1 - dx;
        if (std::isfinite(dy)) {
            m_frozen->y0 = m_dragRange.y0 + dy;
            m_frozen->y1 = m_dragRange.y1 + dy;
        }
    }
    update();
}

void PlotView::mouseReleaseEvent(QMouseEvent*)
{
    m_dragFrom.reset();
    unsetCursor();
}

void PlotView::mouseDoubleClickEvent(QMouseEvent*)
{
    follow();
    emit liveRequested();
}

void PlotView::leaveEvent(QEvent*)
{
    m_cursor.reset();
    update();
}
