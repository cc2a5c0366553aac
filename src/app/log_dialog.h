// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "terminal/session_log.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QRadioButton;

// Asks where to log the session and in which form.
class LogDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LogDialog(QWidget* parent = nullptr);

    void setChoice(const QString& file, const merovan::LogOptions& options);
    QString file() const;
    merovan::LogOptions options() const;

    QLineEdit* edt_logFile = nullptr;
    QRadioButton* rad_view = nullptr;
    QRadioButton* rad_raw = nullptr;
    QCheckBox* chk_timestamps = nullptr;
    QCheckBox* chk_sent = nullptr;
    QCheckBox* chk_overwrite = nullptr;
};
