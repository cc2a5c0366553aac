#pragma once

#include <QDialog>
#include <QUrl>

class QLabel;

// Where the documentation link leads: the user guide the build installs,
// or the documentation host when the build names one.
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
