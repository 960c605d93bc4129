// A form of the model shown as a Qt dialog: the ways a user closes it, the loop that
// keeps the dispatcher turning while it is open, its combo box peer, and a layout
// that follows the font.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <thread>

#include "gui/DispatcherBridge.h"
#include "gui/ModalDialog.h"
#include "platform/Dispatcher.h"
#include "tests/gui/DialogTestSupport.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

using test::BesideLabel;
using test::FindByText;
using test::ProcessQtUntil;
using test::WhenDialogOpens;

// A small form: one list with its label, OK, Cancel, and a button without a result.
struct Form {
    TForm form{nullptr};
    TLabel* label = new TLabel(&form);
    TComboBox* list = new TComboBox(&form);
    TButton* ok = new TButton(&form);
    TButton* cancel = new TButton(&form);
    TButton* apply = new TButton(&form);
    std::vector<std::string> clicked;
    int changes = 0;

    Form() {
        form.SetName("TestFrm");
        form.SetCaption("Test");
        form.BorderStyle = TFormBorderStyle::bsDialog;
        form.SetBounds(0, 0, 240, 80);
        label->SetName("label");
        label->SetCaption("Parity");
        label->FocusControl = list;
        list->SetName("list");
        list->SetItems({"None", "Odd", "Even"}, {"", "Odd (1 bit)", ""});
        list->SetItemIndex(0);
        list->OnChange = [this](TObject*) { ++changes; };
        auto button = [&](TButton* b, const char* name, const char* caption, int left) {
            b->SetName(name);
            b->SetCaption(caption);
            b->SetParent(&form);
            b->SetBounds(left, 48, 70, 25);
            b->OnClick = [this, caption](TObject*) { clicked.push_back(caption); };
        };
        label->SetParent(&form);
        label->SetBounds(8, 16, 50, 13);
        list->SetParent(&form);
        list->SetBounds(80, 12, 150, 21);
        button(ok, "ok", "OK", 8);
        button(cancel, "cancel", "Cancel", 84);
        button(apply, "apply", "Apply", 160);
        ok->Default = true;
        ok->ModalResult = mrOk;
        cancel->Cancel = true;
        cancel->ModalResult = mrCancel;
    }
};

TEST(ModalDialogTest, EachWayOfClosingGivesItsResult) {
    test::Qt();
    test::RecordingInteraction boxes;
    struct Case {
        const char* what;
        std::function<void(QDialog&)> act;
        int result;
        std::vector<std::string> clicked;
    };
    const std::vector<Case> cases = {
        {"Enter in the list presses the default button",
         [](QDialog& d) { QTest::keyClick(d.findChild<QComboBox*>("list"), Qt::Key_Return); }, mrOk, {"OK"}},
        {"Escape presses the cancel button", [](QDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }, mrCancel,
         {"Cancel"}},
        {"closing the window", [](QDialog& d) { d.close(); }, mrCancel, {"Cancel"}},
        {"a button without a result keeps it open",
         [](QDialog& d) {
             QTest::mouseClick(FindByText<QPushButton>(d, "Apply"), Qt::LeftButton);
             EXPECT_TRUE(d.isVisible());
             QTest::mouseClick(FindByText<QPushButton>(d, "OK"), Qt::LeftButton);
         },
         mrOk, {"Apply", "OK"}},
    };
    for (const Case& c : cases) {
        Form f;
        ModalDialog dialog(f.form, nullptr);
        WhenDialogOpens user(c.act);
        EXPECT_EQ(dialog.Run(), c.result) << c.what;
        EXPECT_TRUE(user.Ran()) << c.what;
        EXPECT_EQ(f.form.ModalResult(), c.result) << c.what;
        EXPECT_EQ(f.clicked, c.clicked) << c.what;
        EXPECT_TRUE(boxes.shown.empty()) << c.what;
    }
}

TEST(ModalDialogTest, HandlersRunWhileTheDialogIsOpen) {
    test::Qt();
    DispatcherBridge bridge;
    auto& dispatcher = Dispatcher::Instance();
    bool delivered = false;
    const HWND target = dispatcher.AllocateHWnd([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
        delivered = true;
        return 0;
    });
    Form f;
    ModalDialog dialog(f.form, nullptr);
    WhenDialogOpens user([&](QDialog& d) {
        std::thread([&] { dispatcher.PostMessage(target, WM_USER, 0, 0); }).join();
        EXPECT_TRUE(ProcessQtUntil([&] { return delivered; })) << "the dispatcher stood still inside exec()";
        d.reject();
    });
    EXPECT_EQ(dialog.Run(), mrCancel);
    EXPECT_TRUE(delivered);
    dispatcher.DeallocateHWnd(target);
}

TEST(ModalDialogTest, ListShowsLabelsAndReportsOnlyTheUsersPicks) {
    test::Qt();
    Form f;
    ModalDialog dialog(f.form, nullptr);
    auto* list = BesideLabel<QComboBox>(dialog, "Parity");
    ASSERT_NE(list, nullptr);
    EXPECT_FALSE(list->isEditable());
    EXPECT_EQ(list->itemText(1), "Odd (1 bit)");
    EXPECT_EQ(list->currentIndex(), 0);

    f.list->SetItemIndex(2);
    EXPECT_EQ(list->currentIndex(), 2);
    EXPECT_EQ(f.changes, 0) << "the program's selection is no change of the user's";
    QTest::keyClick(list, Qt::Key_Up);
    EXPECT_EQ(f.list->ItemIndex(), 1);
    EXPECT_EQ(f.list->Text(), "Odd") << "the item, not its label";
    EXPECT_EQ(list->toolTip(), "Odd (1 bit)");
    EXPECT_EQ(f.changes, 1);

    f.list->SetItems({"5", "6", "7", "8"});
    EXPECT_EQ(list->count(), 4);
    EXPECT_EQ(list->currentIndex(), -1);
    f.list->SetText("8");
    EXPECT_EQ(list->currentText(), "8");
}

TEST(ModalDialogTest, LayoutGrowsWithTheFontAndStaysTidy) {
    test::Qt();
    Form f;
    int previousWidth = 0;
    const QFont desktop = QApplication::font();
    for (const int points : {9, 14, 20}) {
        // The desktop's font, as a user's setting would make it.
        QFont font = desktop;
        font.setPointSize(points);
        QApplication::setFont(font);
        ModalDialog dialog(f.form, nullptr);
        WhenDialogOpens user([&](QDialog& d) {
            test::ExpectTidy(d);
            d.reject();
        });
        dialog.Run();
        EXPECT_TRUE(user.Ran());
        EXPECT_GE(dialog.width(), 240) << points;
        EXPECT_GT(dialog.width(), previousWidth) << points;
        previousWidth = dialog.width();
    }
    QApplication::setFont(desktop);
}

}  // namespace
}  // namespace portvale
