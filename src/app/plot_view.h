// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "plot/series_parser.h"
#include "plot/series_store.h"

#include <QColor>
#include <QPointF>
#include <QWidget>

#include <optional>
#include <vector>

// Draws the series of a store with QPainter: one minimum/maximum pair per
// pixel column from the store's block summaries, or the samples themselves
// when there are fewer of them than columns. It only draws; the dock owns
// the data and says what to show.
class PlotView : public QWidget
{
    Q_OBJECT

public:
    struct Range
    {
        double x0 = 0, x1 = 1; // in the axis' units: milliseconds or line numbers
        double y0 = 0, y1 = 1;
    };

    PlotView(const merovan::SeriesStore& store, const merovan::SeriesParser& parser, QWidget* parent = nullptr);

    void setAxis(merovan::SeriesAxis axis);
    merovan::SeriesAxis axis() const { return m_axis; }
    // The live window: the last windowMs of time, or everything (0).
    void setWindowMs(double windowMs);
    // Y from the data, or fixed.
    void setAutoY(bool on) { m_autoY = on; }
    void setFixedY(double y0, double y1);
    // Which series are drawn (by index); those past the end are.
    void setShown(std::vector<bool> shown) { m_shown = std::move(shown); }
    bool shown(std::size_t series) const { return series >= m_shown.size() || m_shown[series]; }

    // Frozen: the range stays where it is while data goes on arriving.
    void freeze();
    // Live again, at the newest data.
    void follow();
    bool frozen() const { return m_frozen.has_value(); }
    // The range the last frame showed.
    const Range& lastRange() const { return m_last; }

    // Frames painted since creation, and the time they took.
    std::uint64_t framesDrawn() const { return m_frames; }
    std::uint64_t paintMicros() const { return m_paintMicros; }

    // A stable colour for a series name.
    static QColor colourFor(const std::string& name);

signals:
    // The user zoomed or panned: the dock pauses.
    void userMovedView();
    // The user asked to go back to the newest data (a double-click).
    void liveRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    Range liveRange() const;
    void autoscale(Range& r, int width) const;
    QRectF plotArea() const;
    double xToPixel(double x, const Range& r, const QRectF& area) const;
    double yToPixel(double y, const Range& r, const QRectF& area) const;
    double pixelToX(double px, const Range& r, const QRectF& area) const;
    double pixelToY(double py, const Range& r, const QRectF& area) const;
    QString xLabel(double x) const;
    void drawSeries(QPainter& p, std::size_t index, const Range& r, const QRectF& area) const;
    void drawReadout(QPainter& p, const Range& r, const QRectF& area) const;
    void drawLegend(QPainter& p, const QRectF& area) const;
    void takeControl();

    const merovan::SeriesStore& m_store;
    const merovan::SeriesParser& m_parser;
    merovan::SeriesAxis m_axis = merovan::SeriesAxis::Time;
    double m_windowMs = 10000;
    bool m_autoY = true;
    double m_fixedY0 = -1, m_fixedY1 = 1;
    std::vector<bool> m_shown;
    std::optional<Range> m_frozen;
    Range m_last;
    std::uint64_t m_frames = 0;
    std::uint64_t m_paintMicros = 0;
    std::optional<QPointF> m_cursor;
    std::optional<QPointF> m_dragFrom;
    Range m_dragRange;
};
