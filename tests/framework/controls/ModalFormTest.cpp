// Modal forms: a button's ModalResult ends the show through the interaction service,
// which the scripted interaction plays as a user would.
#include <gtest/gtest.h>

#include <stdexcept>

#include "framework/Exceptions.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

// A dialog whose buttons sit in a group box, a level below the form.
struct Dialog {
    TForm form{nullptr};
    TGroupBox* box = new TGroupBox(&form);
    TButton* ok = new TButton(&form);
    TButton* cancel = new TButton(&form);
    TButton* apply = new TButton(&form);
    Dialog() {
        form.SetCaption("Setup");
        box->SetParent(&form);
        for (TButton* b : {ok, cancel, apply}) b->SetParent(box);
        ok->ModalResult = mrOk;
        cancel->ModalResult = mrCancel;
    }
};

TEST(ModalFormTest, TheClickedButtonsResultEndsTheShowAndIsReturned) {
    for (const auto& [button, result] : {std::pair{&Dialog::ok, mrOk}, std::pair{&Dialog::cancel, mrCancel},
                                         std::pair{&Dialog::apply, mrCancel}}) {
        test::RecordingInteraction user;
        Dialog d;
        d.form.SetModalResult(mrOk);  // left from an earlier show
        user.OnShowModal = [&, button = button](TForm& form) {
            EXPECT_EQ(form.ModalResult(), mrNone) << "each show starts without a result";
            (d.*button)->Click();
            return form.ModalResult();
        };
        EXPECT_EQ(d.form.ShowModal(), result);
        EXPECT_EQ(d.form.ModalResult(), result);
        EXPECT_EQ(user.modals, std::vector<std::string>{"Setup"});
    }
    Application().SetInteraction(nullptr);
    Dialog d;
    EXPECT_EQ(d.form.ShowModal(), mrCancel) << "nothing to show it: a cancel";
}

TEST(ModalFormTest, AHandlerMayKeepTheFormOpenAndNoFormIsShownTwiceAtOnce) {
    test::RecordingInteraction user;
    Dialog d;
    d.ok->OnClick = [&](TObject*) { d.form.SetModalResult(mrNone); };
    user.OnShowModal = [&](TForm& form) -> int {
        d.ok->Click();
        EXPECT_EQ(form.ModalResult(), mrNone) << "the handler runs after the result was set";
        // A handler run from the dialog's loop asks for the same form again.
        EXPECT_THROW(form.ShowModal(), Exception);
        throw std::runtime_error("front end failed");
    };
    EXPECT_THROW(d.form.ShowModal(), std::runtime_error);
    user.OnShowModal = [](TForm&) { return mrNone; };
    EXPECT_EQ(d.form.ShowModal(), mrCancel) << "shown again after the failure; closed without a result";
}

}  // namespace
}  // namespace portvale
