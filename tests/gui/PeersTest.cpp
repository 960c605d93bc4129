#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>
#include <functional>
#include <stdexcept>

#include "gui/Peers.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

using test::ProcessQtUntil;

// One control of each kind with its widget and peer, the widgets in one shown
// window. Controls and widgets are declared before the peers, so the peers go first.
struct Bench {
    test::RecordingInteraction boxes;
    QWidget window;
    TImageList images{nullptr, 32, 32};
    TToolButton tool{nullptr};
    TCheckBox check{nullptr};
    TRadioGroup radios{nullptr};
    TStatusBar status{nullptr};
    TRichEdit pane{nullptr};
    TEdit edit{nullptr};
    QToolButton* toolWidget = new QToolButton(&window);
    QCheckBox* checkWidget = new QCheckBox(&window);
    QGroupBox* radiosWidget = new QGroupBox(&window);
    QStatusBar* statusWidget = new QStatusBar(&window);
    QPlainTextEdit* paneWidget = new QPlainTextEdit(&window);
    QLineEdit* editWidget = new QLineEdit(&window);
    ToolButtonPeer toolPeer{&tool, toolWidget, &images};
    CheckBoxPeer checkPeer{&check, checkWidget};
    RadioGroupPeer radiosPeer{&radios, radiosWidget};
    StatusBarPeer statusPeer{&status, statusWidget};
    RichEditPeer panePeer{&pane, paneWidget};
    EditPeer editPeer{&edit, editWidget};

    int clicks = 0;      // OnClick of the tool button, check box or radio group
    int paneChanges = 0;  // OnChange of the pane
    std::string keys;     // what the edit's key handler saw

    Bench() {
        images.Add("icons/0.svg");
        status.SetName("stat1");
        status.AddPanel(TStatusPanel{"", 120, TAlignment::taLeftJustify});
        status.AddPanel(TStatusPanel{"", 80, TAlignment::taCenter});
        radios.SetItems({"Off", "Client", "Server"});
        auto count = [this](TObject*) { ++clicks; };
        tool.OnClick = count;
        check.OnClick = count;
        radios.OnClick = count;
        pane.OnChange = [this](TObject*) { ++paneChanges; };
        edit.OnKeyPress = [this](TObject*, char& key) { keys += key; };
        auto* column = new QVBoxLayout(&window);
        for (QWidget* w : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) column->addWidget(w);
        window.show();
    }
    // The one radio button checked, -1 for none, -2 for more than one.
    int Checked() const {
        int checked = -1;
        for (int i = 0; i < 3; ++i)
            if (radiosPeer.Button(i)->isChecked()) checked = checked == -1 ? i : -2;
        return checked;
    }
};

struct Case {
    const char* name;
    std::function<void(Bench&)> act;
    std::function<bool(Bench&)> holds;
};

void RunCases(const std::vector<Case>& cases) {
    test::Qt();
    for (const Case& c : cases) {
        Bench bench;
        c.act(bench);
        // The pane shows programmatic text a moment later; everything else at once.
        EXPECT_TRUE(ProcessQtUntil([&] { return c.holds(bench); })) << c.name;
        EXPECT_TRUE(bench.boxes.shown.empty()) << c.name << ": " << bench.boxes.shown.front().text;
    }
}

TEST(PeersTest, WidgetsShowWhatTheModelHolds) {
    RunCases({
        {"tool button caption", [](Bench& b) { b.tool.SetCaption("TCP Listen"); },
         [](Bench& b) { return b.toolWidget->text() == "TCP Listen"; }},
        {"tool button image from the list", [](Bench& b) { b.tool.SetImageIndex(0); },
         [](Bench& b) { return !b.toolWidget->icon().isNull(); }},
        {"tool button pressed", [](Bench& b) { b.tool.SetDown(true); },
         [](Bench& b) { return b.toolWidget->isChecked(); }},
        {"tool button released", [](Bench& b) { b.tool.SetDown(true), b.tool.SetDown(false); },
         [](Bench& b) { return !b.toolWidget->isChecked(); }},
        {"check box ticked", [](Bench& b) { b.check.SetChecked(true); },
         [](Bench& b) { return b.checkWidget->isChecked(); }},
        {"no radio item", [](Bench& b) { b.radios.SetItemIndex(1), b.radios.SetItemIndex(-1); },
         [](Bench& b) { return b.Checked() == -1; }},
        {"first radio item", [](Bench& b) { b.radios.SetItemIndex(0); },
         [](Bench& b) { return b.Checked() == 0; }},
        {"last radio item", [](Bench& b) { b.radios.SetItemIndex(2); },
         [](Bench& b) { return b.Checked() == 2; }},
        {"status panel text", [](Bench& b) { b.status.SetPanelText(1, "Connection refused (10061)"); },
         [](Bench& b) { return b.statusPeer.Panel(1)->text() == "Connection refused (10061)"; }},
        {"status panel width", [](Bench&) {},
         [](Bench& b) { return b.statusPeer.Panel(0)->width() == 120 && b.statusPeer.Panel(1)->width() >= 80; }},
        {"pane text, each line end a break", [](Bench& b) { b.pane.SetText("a\r\nb\rc\nd"); },
         [](Bench& b) { return b.paneWidget->toPlainText() == "a\nb\nc\nd"; }},
        {"pane grown at the top, its top line extended, trimmed at the bottom",
         [](Bench& b) {
             b.pane.SetCapacity(20);
             b.pane.SetText("line 2\nline 1\n");
             b.panePeer.Flush();
             b.pane.AddLine("line 4");
             b.panePeer.Flush();
             b.pane.AppendToTopLine("+");
             b.pane.AddLine("line 5");
         },
         [](Bench& b) {
             return b.paneWidget->toPlainText() == "line 5\nline 4+\nline " && b.pane.Text() == "line 5\nline 4+\nline ";
         }},
        {"pane text set by the program is not echoed back as the user's",
         [](Bench& b) { b.pane.SetText("x\r\n"), b.panePeer.Flush(); },
         [](Bench& b) {
             return b.paneWidget->toPlainText() == "x\n" && b.pane.Text() == "x\r\n" && b.paneChanges == 1;
         }},
        {"edit text", [](Bench& b) { b.edit.SetText("localhost"); },
         [](Bench& b) { return b.editWidget->text() == "localhost"; }},
        // Two characters outside ASCII, one of them outside the BMP (two UTF-16 units).
        {"edit select all, counted in characters",
         [](Bench& b) { b.edit.SetText("h\xC3\xA9llo \xF0\x9F\x99\x82"), b.edit.SelectAll(); },
         [](Bench& b) { return b.editWidget->selectedText() == QString::fromUtf8("h\xC3\xA9llo \xF0\x9F\x99\x82"); }},
    });
}

TEST(PeersTest, UserInputReachesTheModel) {
    RunCases({
        {"typing", [](Bench& b) { QTest::keyClicks(b.editWidget, "ab"); },
         [](Bench& b) { return b.edit.Text() == "ab" && b.keys == "ab"; }},
        {"a swallowed key is not typed",
         [](Bench& b) {
             b.edit.OnKeyPress = [](TObject*, char& key) { key = key == 'x' ? 0 : key; };
             QTest::keyClicks(b.editWidget, "axb");
         },
         [](Bench& b) { return b.edit.Text() == "ab" && b.editWidget->text() == "ab"; }},
        {"a replaced key is typed instead",
         [](Bench& b) {
             b.edit.OnKeyPress = [](TObject*, char& key) { key = key == 'a' ? 'b' : key; };
             QTest::keyClicks(b.editWidget, "ac");
         },
         [](Bench& b) { return b.edit.Text() == "bc"; }},
        {"Enter reaches the key handler as CR", [](Bench& b) { QTest::keyClick(b.editWidget, Qt::Key_Return); },
         [](Bench& b) { return b.keys == "\r"; }},
        {"the user's selection", [](Bench& b) { b.edit.SetText("abcd"), b.editWidget->setSelection(1, 2); },
         [](Bench& b) { return b.edit.SelStart() == 1 && b.edit.SelLength() == 2; }},
        {"a click leaves a released tool button released",
         [](Bench& b) { QTest::mouseClick(b.toolWidget, Qt::LeftButton); },
         [](Bench& b) { return b.clicks == 1 && !b.toolWidget->isChecked() && !b.tool.Down(); }},
        {"a click leaves a pressed tool button pressed",
         [](Bench& b) { b.tool.SetDown(true), QTest::mouseClick(b.toolWidget, Qt::LeftButton); },
         [](Bench& b) { return b.clicks == 1 && b.toolWidget->isChecked() && b.tool.Down(); }},
        {"a radio click selects once",
         [](Bench& b) { b.radiosPeer.Button(2)->click(); },
         [](Bench& b) { return b.clicks == 1 && b.radios.ItemIndex() == 2 && b.Checked() == 2; }},
        {"a click on the selected radio item raises nothing",
         [](Bench& b) { b.radios.SetItemIndex(1), b.clicks = 0, b.radiosPeer.Button(1)->click(); },
         [](Bench& b) { return b.clicks == 0 && b.radios.ItemIndex() == 1; }},
        {"a check box click",
         [](Bench& b) {
             // On the box itself: the widget is wider than its box and caption.
             QTest::mouseClick(b.checkWidget, Qt::LeftButton, {}, QPoint(6, b.checkWidget->height() / 2));
         },
         [](Bench& b) { return b.clicks == 1 && b.check.Checked(); }},
        {"typing in the pane", [](Bench& b) { QTest::keyClicks(b.paneWidget, "xy"); },
         [](Bench& b) { return b.pane.Text() == "xy" && b.paneChanges == 2; }},
    });
}

TEST(PeersTest, AFailingHandlerGoesToTheCentralHandler) {
    test::Qt();
    Bench bench;
    bench.tool.OnClick = [](TObject*) { throw std::runtime_error("handler failed"); };
    bench.tool.SetDown(true);
    QTest::mouseClick(bench.toolWidget, Qt::LeftButton);
    ASSERT_EQ(bench.boxes.shown.size(), 1u);
    EXPECT_EQ(bench.boxes.shown[0].text, "handler failed");
    EXPECT_TRUE(bench.toolWidget->isChecked());
}

TEST(PeersTest, APeerLetsGoOfItsControl) {
    test::Qt();
    TEdit edit(nullptr);
    QLineEdit widget;
    std::make_unique<EditPeer>(&edit, &widget).reset();
    EXPECT_EQ(edit.Peer(), nullptr);
}

}  // namespace
}  // namespace portvale
