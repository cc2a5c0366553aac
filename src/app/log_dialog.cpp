// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/log_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

LogDialog::LogDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("LogDialog"));
    setWindowTitle(QStringLiteral("Log to file"));
    auto* layout = new QVBoxLayout(this);

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(new QLabel(QStringLiteral("File:"), this));
    edt_logFile = new QLineEdit(this);
    edt_logFile->setObjectName(QStringLiteral("edt_logFile"));
    edt_logFile->setMinimumWidth(280);
    fileRow->addWidget(edt_logFile, 1);
    auto* browse = new QPushButton(QStringLiteral("Browse..."), this);
    browse->setObjectName(QStringLiteral("btn_logBrowse"));
    fileRow->addWidget(browse);
    layout->addLayout(fileRow);

    rad_view = new QRadioButton(QStringLiteral("Text as the view shows it"), this);
    rad_view->setObjectName(QStringLiteral("rad_view"));
    rad_raw = new QRadioButton(QStringLiteral("Raw bytes as received"), this);
    rad_raw->setObjectName(QStringLiteral("rad_raw"));
    rad_view->setChecked(true);
    chk_timestamps = new QCheckBox(QStringLiteral("Timestamp each line"), this);
    chk_timestamps->setObjectName(QStringLiteral("chk_timestamps"));
    chk_sent = new QCheckBox(QStringLiteral("Include what is sent, marked [sent]"), this);
    chk_sent->setObjectName(QStringLiteral("chk_sent"));
    chk_overwrite = new QCheckBox(QStringLiteral("Overwrite an existing file (otherwise append)"), this);
    chk_overwrite->setObjectName(QStringLiteral("chk_overwrite"));
    for (QWidget* w : std::initializer_list<QWidget*> { rad_view, rad_raw, chk_timestamps, chk_sent, chk_overwrite })
        layout->addWidget(w);
    // A raw log holds exactly the bytes received: stamps and sent lines
    // belong to the text form.
    connect(rad_view, &QRadioButton::toggled, this, [this](bool text) {
        chk_timestamps->setEnabled(text);
        chk_sent->setEnabled(text);
    });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Start log"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (!edt_logFile->text().trimmed().isEmpty())
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Log to file"), edt_logFile->text(),
                                                          QStringLiteral("Log files (*.log *.txt);;All Files (*)"),
                                                          nullptr, QFileDialog::DontConfirmOverwrite);
        if (!name.isEmpty())
            edt_logFile->setText(name);
    });
}

void LogDialog::setChoice(const QString& file, const merovan::LogOptions& options)
{
    edt_logFile->setText(file);
    (options.form == merovan::LogForm::Raw ? rad_raw : rad_view)->setChecked(true);
    chk_timestamps->setChecked(options.timestamps);
    chk_sent->setChecked(options.includeSent);
    chk_overwrite->setChecked(options.overwrite);
}

QString LogDialog::file() const
{
    return edt_logFile->text().trimmed();
}

merovan::LogOptions LogDialog::options() const
{
    merovan::LogOptions o;
    o.form = rad_raw->isChecked() ? merovan::LogForm::Raw : merovan::LogForm::View;
    o.timestamps = chk_timestamps->isChecked();
    o.includeSent = chk_sent->isChecked();
    o.overwrite = chk_overwrite->isChecked();
    return o;
}
