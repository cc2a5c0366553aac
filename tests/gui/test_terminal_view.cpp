#include "app/terminal_view.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using Pos = TerminalView::Pos;

namespace {

class ViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        view.resize(400, 200);
        view.show();
    }
    TerminalView view;
};

QString lines(int from, int to)
{
    QString s;
    for (int i = from; i < to; ++i)
        s += QStringLiteral("line %1\n").arg(i);
    return s;
}

} // namespace

TEST_F(ViewTest, InsertsAtTheCaretAndOverASelection)
{
    view.showText(QStringLiteral("hello world\nsecond"));
    view.setCaret({ 0, 5 });
    view.insertText(QStringLiteral(","));
    EXPECT_EQ(view.text(), QStringLiteral("hello, world\nsecond"));
    EXPECT_EQ(view.caret(), (Pos { 0, 6 }));

    view.setSelection({ 0, 7 }, { 1, 3 });
    view.insertText(QStringLiteral("X\nY"));
    EXPECT_EQ(view.text(), QStringLiteral("hello, X\nYond"));
    EXPECT_FALSE(view.hasSelection());

    // showText does the same, then leaves the caret at the very end.
    view.setSelection({ 0, 0 }, { 0, 5 });
    view.showText(QStringLiteral("HI"));
    EXPECT_EQ(view.text(), QStringLiteral("HI, X\nYond"));
    EXPECT_EQ(view.caret(), (Pos { 1, 4 }));
}

TEST_F(ViewTest, CaretAndViewFollowTheEnd)
{
    view.showText(lines(0, 500));
    EXPECT_EQ(view.lineCount(), 501);
    EXPECT_EQ(view.caret(), (Pos { 500, 0 }));
    const int first = view.firstVisibleLine();
    EXPECT_LE(first, 500);
    EXPECT_GT(first + view.visibleLineCount(), 500) << "the caret's line is on screen";
    EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());

    // A click at the top puts the text there, and the caret back at the end.
    view.setCaret({ 0, 0 });
    EXPECT_EQ(view.firstVisibleLine(), 0);
    view.showText(QStringLiteral("more"));
    EXPECT_EQ(view.line(0), QStringLiteral("moreline 0"));
    EXPECT_EQ(view.caret(), (Pos { 500, 0 }));
    EXPECT_GT(view.firstVisibleLine() + view.visibleLineCount(), 500);
}

TEST_F(ViewTest, TrimmingKeepsTheNewestLinesAndTheSelection)
{
    view.setMaxLines(100);
    view.showText(lines(0, 90));
    view.showText(lines(90, 120)); // 121 lines with the empty last one: the oldest 21 go
    EXPECT_EQ(view.lineCount(), 100);
    EXPECT_EQ(view.line(0), QStringLiteral("line 21"));
    EXPECT_EQ(view.line(98), QStringLiteral("line 119"));
    EXPECT_EQ(view.caret(), (Pos { 99, 0 }));

    view.setSelection({ 60, 2 }, { 62, 4 });
    const QString kept = view.selectedText();
    EXPECT_EQ(kept, QStringLiteral("ne 81\nline 82\nline"));
    view.setMaxLines(80);
    EXPECT_EQ(view.lineCount(), 80);
    EXPECT_EQ(view.line(0), QStringLiteral("line 41"));
    EXPECT_EQ(view.selectedText(), kept);

    // A selection reaching into the dropped lines keeps its surviving end.
    view.setSelection({ 5, 0 }, { 10, 7 });
    view.setMaxLines(75);
    EXPECT_EQ(view.selectedText(), QStringLiteral("line 46\nline 47\nline 48\nline 49\nline 50\nline 51"));
}

TEST_F(ViewTest, CopyCutPasteAndDeleteActOnTheViewAlone)
{
    QSignalSpy typed(&view, &TerminalView::keyTyped);
    view.showText(QStringLiteral("alpha beta\ngamma"));
    view.setSelection({ 0, 6 }, { 1, 3 });
    view.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("beta\ngam"));

    view.cut();
    EXPECT_EQ(view.text(), QStringLiteral("alpha ma"));
    QApplication::clipboard()->setText(QStringLiteral("X\r\nY"));
    view.setCaret({ 0, 0 });
    view.paste();
    EXPECT_EQ(view.text(), QStringLiteral("X\nYalpha ma"));
    EXPECT_EQ(view.caret(), (Pos { 1, 1 }));

    view.setFocus();
    QTest::keyClick(&view, Qt::Key_Delete);
    EXPECT_EQ(view.text(), QStringLiteral("X\nYlpha ma"));
    QTest::keyClick(&view, Qt::Key_End);
    QTest::keyClick(&view, Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_Left, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), QStringLiteral("ma"));
    QTest::keyClick(&view, Qt::Key_Delete);
    EXPECT_EQ(view.text(), QStringLiteral("X\nYlpha "));
    QTest::keyClick(&view, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(view.caret(), (Pos { 0, 0 }));
    EXPECT_EQ(typed.count(), 0) << "nothing of this goes to the device";
}

TEST_F(ViewTest, CharacterKeysAreHandedOutNotInserted)
{
    QSignalSpy typed(&view, &TerminalView::keyTyped);
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_A);
    QTest::keyClick(&view, Qt::Key_Return);
    QTest::keyClick(&view, Qt::Key_Backspace);
    QTest::keyClick(&view, Qt::Key_Escape);
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    for (const char16_t c : { u'\u00e9', u'\u20ac' }) { // the euro sign is not Latin-1: dropped
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(c)));
        QApplication::sendEvent(&view, &press);
    }
    QTest::keyClick(&view, Qt::Key_Tab); // moves the focus, sends nothing
    std::vector<int> bytes;
    for (const auto& args : typed)
        bytes.push_back(args.at(0).toInt());
    EXPECT_EQ(bytes, (std::vector<int> { 0x61, 0x0D, 0x08, 0x1B, 0x01, 0xE9 }));
    EXPECT_EQ(view.text(), QString());
}

TEST_F(ViewTest, MouseClickPlacesTheCaret)
{
    view.setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 10));
    view.showText(QStringLiteral("0123456789\nabcdefghij"));
    const QFontMetrics fm(view.font());
    const QPoint at(fm.horizontalAdvance(QLatin1Char('M')) * 4 + 1, fm.lineSpacing() + 2);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(view.caret(), (Pos { 1, 4 }));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(1, 2));
    EXPECT_EQ(view.selectedText(), QStringLiteral("0123456789\nabcd"));
}

TEST_F(ViewTest, ClearEmptiesEverything)
{
    view.showText(lines(0, 10));
    view.clear();
    EXPECT_EQ(view.text(), QString());
    EXPECT_EQ(view.lineCount(), 1);
    EXPECT_EQ(view.caret(), (Pos { 0, 0 }));
}
