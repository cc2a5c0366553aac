// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QToolButton;
class TerminalView;

// Ctrl+F: finds text in the terminal view, forward and backward, with or
// without matching case. Enter finds the next match, Escape closes the bar.
class FindBar : public QWidget
{
    Q_OBJECT

public:
    FindBar(TerminalView* view, QWidget* parent = nullptr);

    // Shows the bar with the focus in its field, the view's selection (on
    // one line) as the text to find.
    void open();
    // False when there is no match.
    bool findNext();
    bool findPrevious();

    QLineEdit* edt_find = nullptr;
    QToolButton* btn_findNext = nullptr;
    QToolButton* btn_findPrevious = nullptr;
    QCheckBox* chk_matchCase = nullptr;
    QLabel* lbl_findStatus = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool find(bool backward);

    TerminalView* m_view;
};
