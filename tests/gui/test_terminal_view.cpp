// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/terminal_view.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <functional>
#include <string_view>

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
}

TEST_F(ViewTest, ShownTextGoesAtTheEndAndLeavesCaretAndSelection)
{
    view.showText(QStringLiteral("hello world\nsecond"));
    EXPECT_EQ(view.caret(), (Pos { 1, 6 })) << "a caret at the end moves on with it";

    view.setCaret({ 0, 4 });
    view.showText(QStringLiteral("XYZ"));
    EXPECT_EQ(view.text(), QStringLiteral("hello world\nsecondXYZ"));
    EXPECT_EQ(view.caret(), (Pos { 0, 4 }));

    view.setSelection({ 0, 6 }, { 1, 2 });
    view.showText(QStringLiteral("\nmore"));
    EXPECT_EQ(view.text(), QStringLiteral("hello world\nsecondXYZ\nmore"));
    EXPECT_EQ(view.selectedText(), QStringLiteral("world\nse"));

    // A selection that ends at the end stays as it was; the text grows past it.
    view.setSelection({ 2, 0 }, { 2, 4 });
    view.showText(QStringLiteral("!"));
    EXPECT_EQ(view.selectedText(), QStringLiteral("more"));
    EXPECT_EQ(view.line(2), QStringLiteral("more!"));
}

TEST_F(ViewTest, FollowsTheEndUntilScrolledUp)
{
    view.showText(lines(0, 500));
    EXPECT_EQ(view.lineCount(), 501);
    EXPECT_EQ(view.caret(), (Pos { 500, 0 }));
    EXPECT_TRUE(view.followsEnd());
    EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
    EXPECT_GT(view.firstVisibleLine() + view.visibleLineCount(), 500) << "the caret's line is on screen";
    EXPECT_FALSE(view.newOutputMarker()->isVisible());

    // Scrolled to the top: the place holds and the marker says there is more.
    view.verticalScrollBar()->setValue(0);
    EXPECT_FALSE(view.followsEnd());
    view.showText(lines(500, 510));
    EXPECT_EQ(view.firstVisibleLine(), 0);
    EXPECT_EQ(view.line(0), QStringLiteral("line 0"));
    EXPECT_TRUE(view.newOutputMarker()->isVisible());
    EXPECT_EQ(view.newOutputMarker()->objectName(), QStringLiteral("btn_newOutput"));

    // Back at the bottom by hand: the marker goes and the view follows again.
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
    EXPECT_TRUE(view.followsEnd());
    EXPECT_FALSE(view.newOutputMarker()->isVisible());
    view.showText(lines(510, 520));
    EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());

    // The marker's click does the same.
    view.verticalScrollBar()->setValue(3);
    view.showText(QStringLiteral("x"));
    ASSERT_TRUE(view.newOutputMarker()->isVisible());
    QTest::mouseClick(view.newOutputMarker(), Qt::LeftButton);
    EXPECT_TRUE(view.followsEnd());
    EXPECT_FALSE(view.newOutputMarker()->isVisible());
    EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
}

TEST_F(ViewTest, ScrolledUpPlaceHoldsWhileOldLinesAreDropped)
{
    view.setMaxLines(100);
    view.showText(lines(0, 99));
    view.verticalScrollBar()->setValue(50); // "line 50" at the top
    view.showText(lines(99, 109));          // ten lines go from the top
    EXPECT_EQ(view.line(view.firstVisibleLine()), QStringLiteral("line 50"));
    EXPECT_TRUE(view.newOutputMarker()->isVisible());
}

// What the user does before data arrives; the text already shown, their
// caret, their selection and their place must come through unchanged.
TEST_F(ViewTest, UserActionsFollowedByDataLeaveTheShownTextAlone)
{
    view.setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 10));
    const QFontMetrics fm(view.font());
    const int cw = fm.horizontalAdvance(QLatin1Char('M'));
    const int lh = fm.lineSpacing();
    struct Case
    {
        const char* name;
        std::function<void()> act;
    };
    const Case cases[] = {
        { "click inside a word", [&] { QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(cw * 4 + 1, lh / 2)); } },
        { "mouse selection",
          [&] {
              QTest::mousePress(view.viewport(), Qt::LeftButton, {}, QPoint(cw * 2 + 1, lh / 2));
              QMouseEvent move(QEvent::MouseMove, QPointF(cw * 8 + 1, lh + lh / 2), view.viewport()->mapToGlobal(QPointF(cw * 8 + 1, lh + lh / 2)),
                               Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
              QApplication::sendEvent(view.viewport(), &move);
              QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, QPoint(cw * 8 + 1, lh + lh / 2));
          } },
        { "wheel scroll up",
          [&] {
              QWheelEvent wheel(QPointF(10, 10), view.viewport()->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, 120 * 5),
                                Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
              QApplication::sendEvent(view.viewport(), &wheel);
          } },
        { "keyboard selection",
          [&] {
              view.setFocus();
              QTest::keyClick(&view, Qt::Key_Home, Qt::ControlModifier);
              QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
              QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
          } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        view.clear();
        view.showText(QStringLiteral("hello world\nsecond line\n") + lines(0, 40) + QStringLiteral("last"));
        if (std::string_view(c.name) != "wheel scroll up")
            view.verticalScrollBar()->setValue(0); // the first lines on screen
        c.act();
        const QString before = view.text();
        const Pos caret = view.caret();
        const bool caretAtEnd = !view.hasSelection() && caret == Pos { view.lineCount() - 1, 4 };
        const QString selected = view.selectedText();
        const int first = view.firstVisibleLine();
        const bool following = view.followsEnd();
        const std::string_view name = c.name;
        EXPECT_FALSE(following) << "the first lines are on screen, not the end";
        EXPECT_EQ(selected.isEmpty(), name == "click inside a word" || name == "wheel scroll up") << selected.toStdString();
        view.showText(QStringLiteral("XYZ\nnext"));
        EXPECT_EQ(view.text(), before + QStringLiteral("XYZ\nnext"));
        // A caret the user never moved off the end goes on with it.
        EXPECT_EQ(view.caret(), caretAtEnd ? (Pos { view.lineCount() - 1, 4 }) : caret);
        EXPECT_EQ(view.selectedText(), selected);
        if (!following) {
            EXPECT_EQ(view.firstVisibleLine(), first);
            EXPECT_TRUE(view.newOutputMarker()->isVisible());
        }
    }
}

TEST_F(ViewTest, ClickAtTheBottomKeepsFollowing)
{
    view.showText(lines(0, 100));
    const int lh = QFontMetrics(view.font()).lineSpacing();
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(5, lh / 2));
    const Pos caret = view.caret();
    EXPECT_TRUE(view.followsEnd());
    view.showText(lines(100, 200));
    EXPECT_EQ(view.caret(), caret);
    EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
    EXPECT_FALSE(view.newOutputMarker()->isVisible());
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
