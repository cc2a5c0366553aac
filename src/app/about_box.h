// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QUrl>

class QLabel;

// Where the documentation link leads: the installed user guide when the
// program runs installed, the checkout's when it runs from the build tree,
// or the documentation host when the build names one.
QUrl documentationUrl(const QString& executableDir);
QUrl documentationUrl();

class TAboutBox : public QDialog
{
    Q_OBJECT

public:
    explicit TAboutBox(QWidget* parent = nullptr);

    void Label1Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* m_label1 = nullptr;
};
