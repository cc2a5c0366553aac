// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/settings_section.h"
#include "plot/series_parser.h"
#include "plot/series_store.h"

#include <QDockWidget>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

class PlotView;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QSpinBox;
class QTimer;
class QToolButton;
class Tfrm_Main;

namespace merovan {
class SerialPort;
}

// View > Plot: numbers from the serial line drawn as they arrive, in a dock
// beside or below the terminal, which stays in view. It reads what the
// terminal receives while it is open, keeps up to a million samples per
// series (the oldest dropped, which the notes say), and redraws at most
// 30 times a second, only while visible and only when something changed.
// Its settings are the section "PLOT" of the settings file.
class PlotDock : public QDockWidget, public SettingsSection
{
    Q_OBJECT

public:
    // Docks itself into the window, puts "Plot" into its View menu, taps
    // its receive path and reads its settings.
    explicit PlotDock(Tfrm_Main& main, std::size_t capacityPerSeries = merovan::SeriesStore::kDefaultCapacity);
    ~PlotDock() override;

    // What the terminal read from the port, as it was read.
    void received(std::span<const std::uint8_t> bytes);

    void saveSettings(merovan::IniFile& ini) const override;

    // False, with a message to the user, when the file cannot be written.
    bool exportCsv(const QString& path);
    bool exportPng(const QString& path);
    void clear();
    void setPaused(bool on);
    bool paused() const;
    // Appends "ms frames paint-microseconds samples lines" once a second to
    // path (benchmarks).
    void setStatsFile(const std::string& path);

    const merovan::SeriesParser& parser() const { return m_parser; }
    const merovan::SeriesStore& store() const { return m_store; }
    PlotView* view() const { return m_view; }
    // The notes line as it stands (drops, refusals, skipped lines).
    QString notesText() const;

    // Controls, by the names the tests use.
    QToolButton* btn_plotPause = nullptr;
    QToolButton* btn_plotClear = nullptr;
    QToolButton* btn_plotCsv = nullptr;
    QToolButton* btn_plotPng = nullptr;
    QComboBox* cbo_plotX = nullptr;
    QSpinBox* spn_plotWindow = nullptr;
    QCheckBox* chk_plotAll = nullptr;
    QCheckBox* chk_plotAutoY = nullptr;
    QDoubleSpinBox* spn_plotYMin = nullptr;
    QDoubleSpinBox* spn_plotYMax = nullptr;
    QLineEdit* edt_plotPrefix = nullptr;
    QListWidget* lst_plotLegend = nullptr;
    QLabel* lbl_plotNotes = nullptr;

private:
    void build();
    void readSettings();
    void tick();
    void refreshLegend();
    void refreshNotes();
    void applyWindow();
    void applyY();
    void legendChanged(QListWidgetItem* item);
    void writeStats();

    Tfrm_Main& m_main;
    merovan::SerialPort& m_port;
    merovan::SeriesParser m_parser;
    merovan::SeriesStore m_store;
    std::vector<merovan::SeriesRow> m_rows;
    PlotView* m_view = nullptr;
    QTimer* m_frameTimer = nullptr;
    bool m_dirty = false;
    bool m_seen = false;           // bytes were read since the dock opened
    std::uint64_t m_opens = 0;     // the port's open count at the last read
    std::uint64_t m_readEnd = 0;   // and its byte count after it
    std::vector<bool> m_shown;
    std::FILE* m_stats = nullptr;
    QTimer* m_statsTimer = nullptr;
};
