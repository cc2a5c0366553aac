// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/find_bar.h"

#include "app/terminal_view.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

FindBar::FindBar(TerminalView* view, QWidget* parent)
    : QWidget(parent)
    , m_view(view)
{
    setObjectName(QStringLiteral("FindBar"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 1, 2, 1);
    row->addWidget(new QLabel(QStringLiteral("Find:"), this));
    edt_find = new QLineEdit(this);
    edt_find->setObjectName(QStringLiteral("edt_find"));
    row->addWidget(edt_find, 1);
    btn_findNext = new QToolButton(this);
    btn_findNext->setObjectName(QStringLiteral("btn_findNext"));
    btn_findNext->setText(QStringLiteral("Next"));
    btn_findPrevious = new QToolButton(this);
    btn_findPrevious->setObjectName(QStringLiteral("btn_findPrevious"));
    btn_findPrevious->setText(QStringLiteral("Previous"));
    chk_matchCase = new QCheckBox(QStringLiteral("Match case"), this);
    chk_matchCase->setObjectName(QStringLiteral("chk_matchCase"));
    lbl_findStatus = new QLabel(this);
    lbl_findStatus->setObjectName(QStringLiteral("lbl_findStatus"));
    auto* close = new QToolButton(this);
    close->setObjectName(QStringLiteral("btn_findClose"));
    close->setText(QStringLiteral("x"));
    close->setToolTip(QStringLiteral("Close (Esc)"));
    for (QWidget* w : std::initializer_list<QWidget*> { btn_findNext, btn_findPrevious, chk_matchCase, lbl_findStatus,
                                                        close })
        row->addWidget(w);
    connect(btn_findNext, &QToolButton::clicked, this, &FindBar::findNext);
    connect(btn_findPrevious, &QToolButton::clicked, this, &FindBar::findPrevious);
    connect(edt_find, &QLineEdit::returnPressed, this, &FindBar::findNext);
    connect(close, &QToolButton::clicked, this, [this] {
        hide();
        m_view->setFocus();
    });
    hide();
}

void FindBar::open()
{
    const QString selected = m_view->selectedText();
    if (!selected.isEmpty() && !selected.contains(QLatin1Char('\n')))
        edt_find->setText(selected);
    lbl_findStatus->clear();
    show();
    edt_find->setFocus();
    edt_find->selectAll();
}

bool FindBar::find(bool backward)
{
    const bool found = m_view->find(edt_find->text(), backward,
                                    chk_matchCase->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive);
    lbl_findStatus->setText(found || edt_find->text().isEmpty() ? QString() : QStringLiteral("Not found"));
    return found;
}

bool FindBar::findNext()
{
    return find(false);
}

bool FindBar::findPrevious()
{
    return find(true);
}

void FindBar::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        hide();
        m_view->setFocus();
        return;
    }
    QWidget::keyPressEvent(event);
}
