// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/settings_section.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class Tfrm_Main;

// "Binary Transfer": a file sent as it is, or a picture or a font converted
// for the device first, sent or written to files.
class Tfrm_bin : public QDialog, public SettingsSection
{
    Q_OBJECT

public:
    explicit Tfrm_bin(Tfrm_Main& main);

    void saveSettings(merovan::IniFile& ini) const override;

    // The option rules; each runs whenever its box changes.
    void chk_translateClick();
    void chk_fontClick();
    void chk_createfileClick();
    void chk_sendClick();

    void btn_browseClick();
    void cbo_filenameChange();
    void SpeedButton1Click();
    void cbo_sendKeyDown(int key);
    void spd_clearsendClick();
    void btn_sendClick();
    void btn_cancelsendClick();
    void btn_closeClick();

    // Keeps the CTS warning in step with the terminal window's CTS item.
    void showCtsWarning(bool ctsChecked);

    // The file the browse button offers; tests set it instead of the dialog.
    void setFileChooser(std::function<QString(int& filterIndex)> chooser);

    QGroupBox* GroupBox1 = nullptr;
    QComboBox* cbo_filename = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QToolButton* SpeedButton2 = nullptr;
    QPushButton* btn_browse = nullptr;
    QCheckBox* chk_close = nullptr;
    QCheckBox* chk_translate = nullptr;
    QCheckBox* chk_font = nullptr;
    QCheckBox* chk_createfile = nullptr;
    QCheckBox* chk_send = nullptr;
    QComboBox* cbo_send = nullptr;
    QPushButton* btn_cancelsend = nullptr;
    QToolButton* spd_clearsend = nullptr;
    QPushButton* btn_close = nullptr;
    QPushButton* btn_send = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* Panel1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Tfrm_Main& m_main;
    int m_filterIndex = 0;
    std::function<QString(int&)> m_chooseFile;
};
