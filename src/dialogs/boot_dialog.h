// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/settings_section.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QToolButton;
class Tfrm_Main;

// "Application (boot) Loader": an application loaded through the device's
// resident boot loader.
class Tfrm_boot : public QDialog, public SettingsSection
{
    Q_OBJECT

public:
    explicit Tfrm_boot(Tfrm_Main& main);

    void saveSettings(merovan::IniFile& ini) const override;

    void btn_browseClick();
    void SpeedButton1Click();
    void cbo_filenameChange();
    void btn_sendClick();
    void btn_cancelsendClick();
    void btn_closeClick();

    // The file the browse button offers; tests set it instead of the dialog.
    void setFileChooser(std::function<QString(int& filterIndex)> chooser);

    QLabel* Label1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QComboBox* cbo_filename = nullptr;
    QPushButton* btn_browse = nullptr;
    QGroupBox* grp_hex = nullptr;
    QLineEdit* edt_flashsize = nullptr;
    QPushButton* btn_send = nullptr;
    QPushButton* btn_close = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QCheckBox* chk_allflash = nullptr;
    QCheckBox* chk_close = nullptr;
    QPushButton* btn_cancelsend = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* lbl_wait = nullptr;
    QLabel* lbl_status = nullptr; // what became of the last load

private:
    Tfrm_Main& m_main;
    int m_filterIndex = 0;
    std::function<QString(int&)> m_chooseFile;
};
