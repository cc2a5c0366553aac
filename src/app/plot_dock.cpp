// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/plot_dock.h"

#include "app/main_window.h"
#include "app/plot_view.h"
#include "dialogs/recent_list.h"
#include "plot/series_csv.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QSpinBox>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace {

using recent_list::fromBytes;
using recent_list::toBytes;

// At most 30 frames a second.
constexpr int kFrameMs = 33;
constexpr int kDefaultWindowSeconds = 10;

QString grouped(std::uint64_t value)
{
    QString digits = QString::number(value);
    for (auto at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}

QIcon swatch(const QColor& colour)
{
    QPixmap pixmap(12, 12);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

double readDouble(const merovan::IniFile& ini, const char* key, double fallback)
{
    const std::string text = ini.readString("PLOT", key, "");
    double v = fallback;
    if (!text.empty() && !merovan::parseSeriesNumber(text, v))
        return fallback;
    return std::isfinite(v) ? v : fallback;
}

std::string doubleText(double v)
{
    std::string out;
    merovan::appendSeriesValue(out, v);
    return out;
}

} // namespace

PlotDock::PlotDock(Tfrm_Main& main, std::size_t capacityPerSeries)
    : QDockWidget(QStringLiteral("Plot"), &main)
    , m_main(main)
    , m_port(main.port())
    , m_store(capacityPerSeries)
{
    setObjectName(QStringLiteral("dock_plot"));
    setAllowedAreas(Qt::AllDockWidgetAreas);
    build();

    QAction* toggle = toggleViewAction();
    toggle->setObjectName(QStringLiteral("mnu_plot"));
    toggle->setText(QStringLiteral("&Plot"));
    toggle->setStatusTip(QStringLiteral("Plot the numbers the device sends, beside the terminal"));
    if (QMenu* viewMenu = main.findChild<QMenu*>(QStringLiteral("mnu_view"))) {
        viewMenu->addSeparator();
        viewMenu->addAction(toggle);
    }
    main.addDockWidget(Qt::BottomDockWidgetArea, this);
    hide();
    readSettings();
    main.addSettingsSection(this);
    main.setReceiveTap([dock = QPointer<PlotDock>(this)](std::span<const std::uint8_t> bytes) {
        if (dock)
            dock->received(bytes);
    });

    connect(this, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible) {
            m_frameTimer->start();
            m_view->update();
        } else {
            m_frameTimer->stop();
        }
    });
}

PlotDock::~PlotDock()
{
    if (m_stats)
        std::fclose(m_stats);
}

void PlotDock::build()
{
    auto* body = new QWidget(this);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->setSpacing(2);

    auto button = [body](const char* name, const char* text, const char* tip) {
        auto* b = new QToolButton(body);
        b->setObjectName(QLatin1String(name));
        b->setText(QLatin1String(text));
        b->setToolTip(QLatin1String(tip));
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        return b;
    };
    btn_plotPause = button("btn_plotPause", "Pause", "Freeze the plot; samples are still recorded");
    btn_plotPause->setCheckable(true);
    btn_plotClear = button("btn_plotClear", "Clear", "Forget every sample and series");
    btn_plotCsv = button("btn_plotCsv", "Export CSV...", "Write every recorded sample as CSV");
    btn_plotPng = button("btn_plotPng", "Export PNG...", "Save the plot as a picture");

    cbo_plotX = new QComboBox(body);
    cbo_plotX->setObjectName(QStringLiteral("cbo_plotX"));
    cbo_plotX->addItems({ QStringLiteral("Time"), QStringLiteral("Sample number") });
    cbo_plotX->setToolTip(QStringLiteral("X axis: when each line arrived, or its number"));
    spn_plotWindow = new QSpinBox(body);
    spn_plotWindow->setObjectName(QStringLiteral("spn_plotWindow"));
    spn_plotWindow->setRange(1, 24 * 3600);
    spn_plotWindow->setValue(kDefaultWindowSeconds);
    spn_plotWindow->setSuffix(QStringLiteral(" s"));
    spn_plotWindow->setToolTip(QStringLiteral("Show the last so many seconds"));
    chk_plotAll = new QCheckBox(QStringLiteral("All"), body);
    chk_plotAll->setObjectName(QStringLiteral("chk_plotAll"));
    chk_plotAll->setToolTip(QStringLiteral("Show every sample recorded"));
    chk_plotAutoY = new QCheckBox(QStringLiteral("Auto Y"), body);
    chk_plotAutoY->setObjectName(QStringLiteral("chk_plotAutoY"));
    chk_plotAutoY->setChecked(true);
    auto ySpin = [body](const char* name, double value) {
        auto* s = new QDoubleSpinBox(body);
        s->setObjectName(QLatin1String(name));
        s->setRange(-1e12, 1e12);
        s->setDecimals(3);
        s->setValue(value);
        s->setEnabled(false);
        return s;
    };
    spn_plotYMin = ySpin("spn_plotYMin", -1);
    spn_plotYMax = ySpin("spn_plotYMax", 1);
    edt_plotPrefix = new QLineEdit(body);
    edt_plotPrefix->setObjectName(QStringLiteral("edt_plotPrefix"));
    edt_plotPrefix->setPlaceholderText(QStringLiteral("every line"));
    edt_plotPrefix->setToolTip(QStringLiteral("Only lines that begin with this text are data (> or DATA:, say)"));
    edt_plotPrefix->setMaximumWidth(110);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(2);
    for (QWidget* w : std::initializer_list<QWidget*> { btn_plotPause, btn_plotClear, btn_plotCsv, btn_plotPng })
        buttons->addWidget(w);
    buttons->addSpacing(8);
    buttons->addWidget(new QLabel(QStringLiteral("X:"), body));
    buttons->addWidget(cbo_plotX);
    buttons->addWidget(spn_plotWindow);
    buttons->addWidget(chk_plotAll);
    buttons->addStretch(1);
    auto* settings = new QHBoxLayout;
    settings->setSpacing(4);
    settings->addWidget(chk_plotAutoY);
    settings->addWidget(spn_plotYMin);
    settings->addWidget(new QLabel(QStringLiteral("to"), body));
    settings->addWidget(spn_plotYMax);
    settings->addSpacing(8);
    settings->addWidget(new QLabel(QStringLiteral("Prefix:"), body));
    settings->addWidget(edt_plotPrefix);
    settings->addStretch(1);
    layout->addLayout(buttons);
    layout->addLayout(settings);

    auto* split = new QSplitter(Qt::Horizontal, body);
    m_view = new PlotView(m_store, m_parser, split);
    lst_plotLegend = new QListWidget(split);
    lst_plotLegend->setObjectName(QStringLiteral("lst_plotLegend"));
    lst_plotLegend->setToolTip(QStringLiteral("Tick a series to show it"));
    lst_plotLegend->setMinimumWidth(70);
    split->addWidget(m_view);
    split->addWidget(lst_plotLegend);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 0);
    split->setSizes({ 600, 110 });
    layout->addWidget(split, 1);

    lbl_plotNotes = new QLabel(body);
    lbl_plotNotes->setObjectName(QStringLiteral("lbl_plotNotes"));
    lbl_plotNotes->setWordWrap(true);
    lbl_plotNotes->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lbl_plotNotes);
    setWidget(body);

    m_frameTimer = new QTimer(this);
    m_frameTimer->setInterval(kFrameMs);
    m_frameTimer->setTimerType(Qt::PreciseTimer);
    connect(m_frameTimer, &QTimer::timeout, this, &PlotDock::tick);

    connect(btn_plotPause, &QToolButton::toggled, this, &PlotDock::setPaused);
    connect(btn_plotClear, &QToolButton::clicked, this, &PlotDock::clear);
    connect(btn_plotCsv, &QToolButton::clicked, this, [this] {
        const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Export the samples as CSV"), QString(),
                                                          QStringLiteral("CSV files (*.csv);;All Files (*)"));
        if (!name.isEmpty())
            exportCsv(name);
    });
    connect(btn_plotPng, &QToolButton::clicked, this, [this] {
        const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Save the plot as a picture"), QString(),
                                                          QStringLiteral("PNG pictures (*.png);;All Files (*)"));
        if (!name.isEmpty())
            exportPng(name);
    });
    connect(cbo_plotX, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_view->setAxis(index == 1 ? merovan::SeriesAxis::Sample : merovan::SeriesAxis::Time);
    });
    connect(spn_plotWindow, &QSpinBox::valueChanged, this, &PlotDock::applyWindow);
    connect(chk_plotAll, &QCheckBox::toggled, this, &PlotDock::applyWindow);
    connect(chk_plotAutoY, &QCheckBox::toggled, this, &PlotDock::applyY);
    connect(spn_plotYMin, &QDoubleSpinBox::valueChanged, this, &PlotDock::applyY);
    connect(spn_plotYMax, &QDoubleSpinBox::valueChanged, this, &PlotDock::applyY);
    connect(edt_plotPrefix, &QLineEdit::editingFinished, this,
            [this] { m_parser.setPrefix(toBytes(edt_plotPrefix->text())); });
    connect(lst_plotLegend, &QListWidget::itemChanged, this, &PlotDock::legendChanged);
    connect(m_view, &PlotView::userMovedView, this, [this] { btn_plotPause->setChecked(true); });
    connect(m_view, &PlotView::liveRequested, this, [this] { btn_plotPause->setChecked(false); });
}

void PlotDock::readSettings()
{
    merovan::IniFile ini(m_main.settingsPath());
    ini.load();
    const std::string prefix = ini.readString("PLOT", "Prefix", "");
    edt_plotPrefix->setText(fromBytes(prefix));
    m_parser.setPrefix(prefix);
    cbo_plotX->setCurrentIndex(ini.readInteger("PLOT", "XAxis", 0) == 1 ? 1 : 0);
    spn_plotWindow->setValue(static_cast<int>(
        std::clamp<std::int64_t>(ini.readInteger("PLOT", "Window", kDefaultWindowSeconds), 1, 24 * 3600)));
    chk_plotAll->setChecked(ini.readBool("PLOT", "WindowAll", false));
    chk_plotAutoY->setChecked(ini.readBool("PLOT", "AutoY", true));
    spn_plotYMin->setValue(readDouble(ini, "YMin", -1));
    spn_plotYMax->setValue(readDouble(ini, "YMax", 1));
    applyWindow();
    applyY();
    const auto area = static_cast<Qt::DockWidgetArea>(ini.readInteger("PLOT", "Area", Qt::BottomDockWidgetArea));
    if (area == Qt::LeftDockWidgetArea || area == Qt::RightDockWidgetArea || area == Qt::TopDockWidgetArea
        || area == Qt::BottomDockWidgetArea)
        m_main.addDockWidget(area, this);
    setVisible(ini.readBool("PLOT", "Visible", false));
}

void PlotDock::saveSettings(merovan::IniFile& ini) const
{
    ini.writeInteger("PLOT", "Visible", toggleViewAction()->isChecked() ? 1 : 0);
    ini.writeInteger("PLOT", "Area", static_cast<int>(m_main.dockWidgetArea(const_cast<PlotDock*>(this))));
    ini.writeString("PLOT", "Prefix", toBytes(edt_plotPrefix->text()));
    ini.writeInteger("PLOT", "XAxis", cbo_plotX->currentIndex() == 1 ? 1 : 0);
    ini.writeInteger("PLOT", "Window", spn_plotWindow->value());
    ini.writeInteger("PLOT", "WindowAll", chk_plotAll->isChecked() ? 1 : 0);
    ini.writeInteger("PLOT", "AutoY", chk_plotAutoY->isChecked() ? 1 : 0);
    ini.writeString("PLOT", "YMin", doubleText(spn_plotYMin->value()));
    ini.writeString("PLOT", "YMax", doubleText(spn_plotYMax->value()));
}

void PlotDock::received(std::span<const std::uint8_t> bytes)
{
    // Read only while the plot is open: the terminal alone pays nothing.
    if (!toggleViewAction()->isChecked() || bytes.empty())
        return;
    // A new connection, or bytes that someone else read (a transfer, or
    // the plot being closed meanwhile): the line under way is broken.
    const std::uint64_t opens = m_port.opens();
    const std::uint64_t readEnd = m_port.bytesRead();
    if (m_seen && (opens != m_opens || readEnd - bytes.size() != m_readEnd))
        m_parser.cut();
    m_seen = true;
    m_opens = opens;
    m_readEnd = readEnd;

    m_parser.feed(bytes, static_cast<std::int64_t>(m_port.clock().nowMs()), m_rows);
    for (const merovan::SeriesRow& row : m_rows)
        m_store.add(row);
    if (!m_rows.empty())
        m_dirty = true;
    m_rows.clear();
}

void PlotDock::tick()
{
    refreshLegend();
    refreshNotes();
    if (m_dirty && !paused() && m_view->isVisible()) {
        m_view->update();
        m_dirty = false;
    }
}

void PlotDock::refreshLegend()
{
    const auto& names = m_parser.names();
    const QSignalBlocker block(lst_plotLegend);
    for (auto i = static_cast<std::size_t>(lst_plotLegend->count()); i < names.size(); ++i) {
        auto* item = new QListWidgetItem(swatch(PlotView::colourFor(names[i])), fromBytes(names[i]),
                                         lst_plotLegend);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Checked);
        item->setToolTip(fromBytes(names[i]));
    }
}

void PlotDock::legendChanged(QListWidgetItem*)
{
    m_shown.assign(static_cast<std::size_t>(lst_plotLegend->count()), true);
    for (int i = 0; i < lst_plotLegend->count(); ++i)
        m_shown[static_cast<std::size_t>(i)] = lst_plotLegend->item(i)->checkState() == Qt::Checked;
    m_view->setShown(m_shown);
    m_view->update();
}

QString PlotDock::notesText() const
{
    const merovan::SeriesCounts& c = m_parser.counts();
    QStringList notes;
    notes << QStringLiteral("%1 data lines, %2 series").arg(grouped(c.dataLines)).arg(m_parser.names().size());
    if (c.skippedLines > 0)
        notes << QStringLiteral("%1 other lines skipped").arg(grouped(c.skippedLines));
    if (c.longLines > 0)
        notes << QStringLiteral("%1 over %2 bytes long").arg(grouped(c.longLines)).arg(merovan::SeriesParser::kMaxLineBytes);
    if (const std::uint64_t dropped = m_store.dropped(); dropped > 0)
        notes << QStringLiteral("%1 oldest samples dropped (each series keeps the last %2)")
                     .arg(grouped(dropped), grouped(m_store.seriesCount() > 0 ? m_store.series(0).capacity() : 0));
    if (!m_parser.firstRefusedLabel().empty())
        notes << QStringLiteral("More than %1 series: \"%2\" and later labels are not plotted")
                     .arg(merovan::SeriesParser::kMaxSeries)
                     .arg(fromBytes(m_parser.firstRefusedLabel()));
    return notes.join(QStringLiteral("; "));
}

void PlotDock::refreshNotes()
{
    const QString text = notesText();
    if (lbl_plotNotes->text() != text)
        lbl_plotNotes->setText(text);
}

void PlotDock::applyWindow()
{
    spn_plotWindow->setEnabled(!chk_plotAll->isChecked());
    m_view->setWindowMs(chk_plotAll->isChecked() ? 0.0 : spn_plotWindow->value() * 1000.0);
}

void PlotDock::applyY()
{
    const bool autoY = chk_plotAutoY->isChecked();
    spn_plotYMin->setEnabled(!autoY);
    spn_plotYMax->setEnabled(!autoY);
    m_view->setAutoY(autoY);
    m_view->setFixedY(spn_plotYMin->value(), spn_plotYMax->value());
    m_view->update();
}

bool PlotDock::paused() const
{
    return btn_plotPause->isChecked();
}

void PlotDock::setPaused(bool on)
{
    if (btn_plotPause->isChecked() != on) {
        btn_plotPause->setChecked(on); // runs this again through the toggle
        return;
    }
    btn_plotPause->setText(on ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    if (on) {
        m_view->freeze();
    } else {
        m_view->follow();
        m_dirty = true;
    }
}

void PlotDock::clear()
{
    const bool midLine = m_parser.inLine();
    m_parser.reset();
    if (midLine)
        m_parser.cut(); // the rest of that line is no sample
    m_store.clear();
    {
        const QSignalBlocker block(lst_plotLegend);
        lst_plotLegend->clear();
    }
    m_shown.clear();
    m_view->setShown({});
    setPaused(false);
    refreshNotes();
    m_view->update();
}

bool PlotDock::exportCsv(const QString& path)
{
    std::string reason;
    if (merovan::writeSeriesCsv(m_store, m_parser.names(), toBytes(path), reason))
        return true;
    m_main.showMessage(QStringLiteral("Cannot export the plot: %1").arg(fromBytes(reason)));
    return false;
}

bool PlotDock::exportPng(const QString& path)
{
    const QPixmap picture = m_view->grab();
    if (!picture.isNull() && picture.save(path, "PNG"))
        return true;
    m_main.showMessage(QStringLiteral("Cannot save the picture %1").arg(path));
    return false;
}

void PlotDock::setStatsFile(const std::string& path)
{
    if (m_stats)
        std::fclose(m_stats);
    m_stats = std::fopen(path.c_str(), "a");
    if (!m_stats)
        return;
    if (!m_statsTimer) {
        m_statsTimer = new QTimer(this);
        m_statsTimer->setInterval(1000);
        connect(m_statsTimer, &QTimer::timeout, this, &PlotDock::writeStats);
    }
    m_statsTimer->start();
}

void PlotDock::writeStats()
{
    if (!m_stats)
        return;
    std::fprintf(m_stats, "%llu %llu %llu %llu %llu\n", static_cast<unsigned long long>(m_port.clock().nowMs()),
                 static_cast<unsigned long long>(m_view->framesDrawn()),
                 static_cast<unsigned long long>(m_view->paintMicros()),
                 static_cast<unsigned long long>(m_store.samples()),
                 static_cast<unsigned long long>(m_parser.counts().dataLines));
    std::fflush(m_stats);
}
