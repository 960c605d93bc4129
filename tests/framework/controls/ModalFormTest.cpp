// Modal forms: a button's ModalResult ends the show through the interaction service,
// which the scripted interaction plays as a user would.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "framework/Application.h"
#include "framework/Exceptions.h"
#include "framework/controls/Controls.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

struct RecordingPeer : TControlPeer {
    void Changed(TChange what) override { changes.push_back(what); }
    std::vector<TChange> changes;
};

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

TEST(ModalFormTest, WithoutAnInteractionServiceTheFormIsCancelled) {
    Application().SetInteraction(nullptr);
    Dialog d;
    EXPECT_EQ(d.form.ShowModal(), mrCancel);
    EXPECT_EQ(d.form.ModalResult(), mrCancel);
}

TEST(ModalFormTest, TheClickedButtonsResultEndsTheShowAndIsReturned) {
    struct Case {
        const char* what;
        TButton* Dialog::*button;
        int result;
    };
    for (const Case& c : {Case{"OK", &Dialog::ok, mrOk}, Case{"Cancel", &Dialog::cancel, mrCancel},
                          Case{"a button without a result", &Dialog::apply, mrCancel}}) {
        test::RecordingInteraction user;
        Dialog d;
        int clicks = 0;
        (d.*c.button)->OnClick = [&](TObject*) { ++clicks; };
        int resultBeforeClick = -1;
        user.OnShowModal = [&](TForm& form) {
            resultBeforeClick = form.ModalResult();
            (d.*c.button)->Click();
            return form.ModalResult();
        };
        EXPECT_EQ(d.form.ShowModal(), c.result) << c.what;
        EXPECT_EQ(d.form.ModalResult(), c.result) << c.what;
        EXPECT_EQ(clicks, 1) << c.what;
        EXPECT_EQ(resultBeforeClick, mrNone) << c.what << ": each show starts without a result";
        EXPECT_EQ(user.modals, std::vector<std::string>{"Setup"}) << c.what;
    }
}

TEST(ModalFormTest, AClickHandlerMayKeepTheFormOpen) {
    test::RecordingInteraction user;
    Dialog d;
    RecordingPeer peer;
    d.form.SetPeer(&peer);
    d.ok->OnClick = [&](TObject*) { d.form.SetModalResult(mrNone); };
    user.OnShowModal = [&](TForm& form) {
        d.ok->Click();
        EXPECT_EQ(form.ModalResult(), mrNone) << "the handler runs after the result was set";
        d.cancel->Click();
        return form.ModalResult();
    };
    EXPECT_EQ(d.form.ShowModal(), mrCancel);
    EXPECT_EQ(peer.changes, (std::vector<TChange>{TChange::ModalResult, TChange::ModalResult, TChange::ModalResult}))
        << "the front end hears every result, as it closes the dialog on one";
    d.form.SetPeer(nullptr);
}

TEST(ModalFormTest, AShowEndedByAnErrorCanBeShownAgainButNotWhileItIsShown) {
    test::RecordingInteraction user;
    Dialog d;
    user.OnShowModal = [&](TForm& form) -> int {
        // A handler run from the dialog's loop asks for the same form again.
        EXPECT_THROW(form.ShowModal(), Exception);
        throw std::runtime_error("front end failed");
    };
    EXPECT_THROW(d.form.ShowModal(), std::runtime_error);
    user.OnShowModal = [](TForm&) { return mrNone; };
    EXPECT_EQ(d.form.ShowModal(), mrCancel) << "closed without a result is a cancel";
    EXPECT_EQ(user.modals.size(), 2u);
}

TEST(ModalFormTest, AButtonOnNoFormClicksWithoutAResultToSet) {
    TButton loose(nullptr);
    loose.ModalResult = mrOk;
    int clicks = 0;
    loose.OnClick = [&](TObject*) { ++clicks; };
    loose.Click();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(GetParentForm(&loose), nullptr);
}

}  // namespace
}  // namespace portvale
