// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/settings_section.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QToolButton;
class Tfrm_Main;

// "Text Transfer": a text file sent line by line, paced by the device.
class Tfrm_text : public QDialog, public SettingsSection
{
    Q_OBJECT

public:
    explicit Tfrm_text(Tfrm_Main& main);

    void saveSettings(merovan::IniFile& ini) const override;

    void btn_browesClick();
    void spd_clearClick();
    void cbo_filenameChange();
    void btn_sendClick();
    void btn_cancelClick();
    void btn_closeClick();
    // Enter adds the shown text to the list.
    void cbo_sendKeyDown(int key);
    void spd_clrtextClick();

    // The file the browse button offers; tests set it instead of the dialog.
    void setFileChooser(std::function<QString(int& filterIndex)> chooser);

    QGroupBox* GroupBox1 = nullptr;
    QCheckBox* chk_eol = nullptr;
    QLineEdit* edt_eol = nullptr;
    QLineEdit* edt_err = nullptr;
    QCheckBox* chk_err = nullptr;
    QLineEdit* edt_delay = nullptr;
    QCheckBox* chk_delay = nullptr;
    QPushButton* btn_close = nullptr;
    QComboBox* cbo_filename = nullptr;
    QPushButton* btn_browes = nullptr;
    QPushButton* btn_send = nullptr;
    QToolButton* spd_clear = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QCheckBox* chk_close = nullptr;
    QPushButton* btn_cancel = nullptr;
    QWidget* Panel1 = nullptr;
    QComboBox* cbo_send = nullptr;
    QCheckBox* chk_send = nullptr;
    QToolButton* spd_clrtext = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Panel2 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Tfrm_Main& m_main;
    int m_filterIndex = 0;
    std::function<QString(int&)> m_chooseFile;
};
