// The log panes of the real window: what a user reads in them and their context menu.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "tests/gui/RunningWindow.h"

namespace portvale {
namespace {

using test::ProcessQtUntil;

// The main window, shown before any data: the show handler's start-up must not
// come after it.
struct Window : test::RunningWindow {
    QPlainTextEdit* pane = window->findChild<QPlainTextEdit*>("redtComPortMsg");

    Window() { EXPECT_TRUE(Shown()); }
    bool Shows(const QString& text) {
        return ProcessQtUntil([&] { return pane->toPlainText() == text; });
    }
};

// Right-clicks the pane and picks the entry with the keyboard, as a user may. The
// menu runs its own loop, so the pick comes from a timer that waits for it.
void ChooseFromMenu(QPlainTextEdit* pane, const QString& caption) {
    QTimer pick;
    pick.setInterval(10);
    QObject::connect(&pick, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        pick.stop();
        for (QAction* action : menu->actions())
            if (action->text() == caption) menu->setActiveAction(action);
        QTest::keyClick(menu, ::Qt::Key_Return);
    });
    pick.start();
    const QPoint at(10, 10);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, pane->viewport()->mapToGlobal(at));
    QApplication::sendEvent(pane->viewport(), &event);
}

TEST(LogPaneTest, ControlBytesShowInGlyphsThePanesFontHas) {
    test::Qt();
    Window w;
    std::string controls;
    for (int b = 0; b < 0x20; ++b)
        if (b != '\r' && b != '\n' && b != '\t') controls.push_back(static_cast<char>(b));
    for (int b = 0x7F; b <= 0x9F; ++b) controls.push_back(static_cast<char>(b));
    w.form->ShowReceived(TBridgeDirection::ComToTcp, controls);
    ASSERT_TRUE(ProcessQtUntil([&] { return !w.pane->toPlainText().isEmpty(); }));
    const QFontMetrics metrics(w.pane->font());
    const QString shown = w.pane->toPlainText();
    for (const uint ch : shown.toUcs4())
        EXPECT_TRUE(metrics.inFontUcs4(ch)) << "U+" << std::hex << ch << " has no glyph in "
                                            << w.pane->font().family().toStdString();
}

TEST(LogPaneTest, ContextMenuStampsCopiesSavesAndClears) {
    test::Qt();
    Window w;
    w.form->ShowReceived(TBridgeDirection::ComToTcp, "AT\r\nOK\r\n");
    ASSERT_TRUE(w.Shows("OK\nAT"));

    ChooseFromMenu(w.pane, "Show Time");
    w.form->ShowReceived(TBridgeDirection::ComToTcp, "READY\r\n");
    const QRegularExpression stamped("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d READY\nOK\nAT$");
    EXPECT_TRUE(ProcessQtUntil([&] { return stamped.match(w.pane->toPlainText()).hasMatch(); }))
        << w.pane->toPlainText().toStdString();

    QApplication::clipboard()->clear();
    ChooseFromMenu(w.pane, "Copy");
    EXPECT_EQ(QApplication::clipboard()->text(), w.pane->toPlainText()) << "nothing selected copies everything";

    const std::string path = (w.directory.Path() / "pane.txt").string();
    w.boxes.saveAs = path;
    ChooseFromMenu(w.pane, "Save As...");
    std::ifstream file(path);
    std::stringstream saved;
    saved << file.rdbuf();
    EXPECT_EQ(saved.str(), w.pane->toPlainText().toStdString() + "\n");

    ChooseFromMenu(w.pane, "Clear");
    EXPECT_TRUE(w.Shows(""));
    EXPECT_EQ(w.form->redtComPortMsg->Text(), "");
    w.form->ShowReceived(TBridgeDirection::ComToTcp, "x");
    EXPECT_TRUE(ProcessQtUntil([&] { return w.pane->toPlainText().endsWith(" x"); })) << "the time stays on";
    EXPECT_TRUE(w.boxes.shown.empty());
}

}  // namespace
}  // namespace portvale
