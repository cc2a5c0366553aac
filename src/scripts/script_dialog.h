// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/settings_section.h"

#include <QDialog>

#include <functional>

class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class Tfrm_Main;

// "Scripts": named scripts in script files, edited and sent.
class Tfrm_script : public QDialog, public SettingsSection
{
    Q_OBJECT

public:
    explicit Tfrm_script(Tfrm_Main& main);

    void saveSettings(merovan::IniFile& ini) const override;

    void reloadScriptNames(const QString& file);
    void showScriptText(const QString& file, const QString& name);

    void cbo_filenameChange();
    void btn_browseClick();
    void SpeedButton2Click();
    void cbo_scriptChange();
    void mmo_scriptChange();
    void apd_addClick();
    void SpeedButton1Click();
    void spd_updateClick();
    // Gives the script last shown from the file the name now typed, keeping
    // its text.
    void spd_renameClick();
    void btn_sendClick();
    void Panel1Click();
    void Button1Click();

    // The file the browse button offers; tests set it instead of the dialog.
    void setFileChooser(std::function<QString(int& filterIndex)> chooser);

    QGroupBox* GroupBox1 = nullptr;
    QComboBox* cbo_filename = nullptr;
    QToolButton* SpeedButton2 = nullptr;
    QPushButton* btn_browse = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* cbo_script = nullptr;
    QToolButton* apd_add = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QToolButton* spd_update = nullptr;
    QToolButton* spd_rename = nullptr;
    QPlainTextEdit* mmo_script = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* btn_send = nullptr;
    QLabel* Panel1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void selectFirstAndShow();
    std::string fileBytes() const;
    std::string nameBytes() const;

    Tfrm_Main& m_main;
    int m_filterIndex = 0;
    std::function<QString(int&)> m_chooseFile;
    QString m_storedName; // the script whose stored text the memo last took
};
