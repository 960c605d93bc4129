// A form of the model shown as a Qt dialog: the ways a user closes it, and the loop
// that keeps the dispatcher turning while it is open.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QTimer>
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

using test::FindByText;
using test::WhenDialogOpens;

// A small form: a list with its label, OK, Cancel, and a button without a result.
struct Form {
    TForm form{nullptr};
    std::vector<std::string> clicked;

    Form() {
        form.SetCaption("Test");
        form.BorderStyle = TFormBorderStyle::bsDialog;
        form.SetBounds(0, 0, 240, 80);
        auto* label = new TLabel(&form);
        auto* list = new TComboBox(&form);
        label->SetCaption("Parity");
        label->FocusControl = list;
        list->SetName("list");
        list->SetItems({"None", "Odd", "Even"});
        label->SetParent(&form);
        list->SetParent(&form);
        label->SetBounds(8, 16, 50, 13);
        list->SetBounds(80, 12, 150, 21);
        struct {
            const char* caption;
            int result;
        } const buttons[] = {{"OK", mrOk}, {"Cancel", mrCancel}, {"Apply", mrNone}};
        for (int i = 0; i < 3; ++i) {
            auto* b = new TButton(&form);
            b->SetCaption(buttons[i].caption);
            b->SetParent(&form);
            b->SetBounds(8 + 76 * i, 48, 70, 25);
            b->OnClick = [this, caption = buttons[i].caption](TObject*) { clicked.push_back(caption); };
            b->ModalResult = buttons[i].result;
            b->Default = i == 0;
            b->Cancel = i == 1;
        }
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
    Form f;
    ModalDialog dialog(f.form, nullptr);
    bool delivered = false;
    // Only the dispatcher, turning inside the dialog's own loop, closes the dialog.
    const HWND target = dispatcher.AllocateHWnd([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
        delivered = true;
        dialog.reject();
        return 0;
    });
    WhenDialogOpens user([&](QDialog&) { std::thread([&] { dispatcher.PostMessage(target, WM_USER, 0, 0); }).join(); });
    QTimer::singleShot(10000, &dialog, [&] { dialog.done(mrNone); });  // a deadline, not a wait
    EXPECT_EQ(dialog.Run(), mrCancel);
    EXPECT_TRUE(delivered) << "the dispatcher stood still inside exec()";
    dispatcher.DeallocateHWnd(target);
}

}  // namespace
}  // namespace portvale
