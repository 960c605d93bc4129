// The control model without any front end: events, peers and aligned layout.
#include <gtest/gtest.h>

#include <vector>

#include "framework/controls/Controls.h"

namespace portvale {
namespace {

struct RecordingPeer : TControlPeer {
    void Changed(TChange what) override { changes.push_back(what); }
    std::vector<TChange> changes;
};

TEST(RadioGroupTest, SelectionByTheProgramClicksOnlyWhenTheItemChanges) {
    TForm form(nullptr);
    TRadioGroup group(&form);
    group.SetItems({"Off", "Client", "Server"});
    int clicks = 0;
    group.OnClick = [&](TObject*) { ++clicks; };
    struct Step {
        int select;
        int index;
        int clicks;
    };
    for (const Step& step : {Step{0, 0, 1}, Step{0, 0, 1}, Step{2, 2, 2}, Step{7, -1, 3}, Step{-5, -1, 3},
                             Step{1, 1, 4}}) {
        group.SetItemIndex(step.select);
        EXPECT_EQ(group.ItemIndex(), step.index) << step.select;
        EXPECT_EQ(clicks, step.clicks) << step.select;
    }
}

TEST(ControlPeerTest, PeerHearsProgramChangesButNotTheUsersOwnInput) {
    TForm form(nullptr);
    TEdit edit(&form);
    TToolButton button(&form);
    RecordingPeer editPeer, buttonPeer;
    edit.SetPeer(&editPeer);
    button.SetPeer(&buttonPeer);
    int changes = 0;
    edit.OnChange = [&](TObject*) { ++changes; };

    edit.SetText("abc");
    edit.UserSetText("abcd");
    edit.SetText("\xC3\xA9t\xC3\xA9");  // été: three characters
    edit.SelectAll();
    EXPECT_EQ(edit.SelLength(), 3);
    EXPECT_EQ(editPeer.changes, (std::vector<TChange>{TChange::Text, TChange::Text, TChange::Selection}));
    EXPECT_EQ(changes, 3) << "OnChange for every change, whoever made it";

    int clicks = 0;
    button.OnClick = [&](TObject*) { ++clicks; };
    button.Click();
    EXPECT_FALSE(button.Down()) << "a click never presses a tool button by itself";
    button.SetDown(true);
    button.SetDown(true);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(buttonPeer.changes, (std::vector<TChange>{TChange::Down}));
    edit.SetPeer(nullptr);
    button.SetPeer(nullptr);
}

TEST(ControlPeerTest, KeyPressMayChangeOrSwallowTheKey) {
    TEdit edit(nullptr);
    edit.OnKeyPress = [](TObject*, char& key) {
        if (key == 'a') key = 'b';
        if (key == '\r') key = 0;
    };
    EXPECT_EQ(edit.KeyPress('a'), 'b');
    EXPECT_EQ(edit.KeyPress('\r'), 0);
    EXPECT_EQ(edit.KeyPress('z'), 'z');
}

TEST(AlignTest, TopBottomAndClientChildrenShareTheParentAndResizeIsReported) {
    TForm form(nullptr);
    TPanel top(&form), bottom(&form), client(&form);
    top.SetHeight(60);
    top.SetAlign(TAlign::alTop);
    bottom.SetHeight(24);
    bottom.SetAlign(TAlign::alBottom);
    client.SetAlign(TAlign::alClient);
    for (TControl* c : std::vector<TControl*>{&top, &bottom, &client}) c->SetParent(&form);
    std::vector<int> heights;
    client.OnResize = [&](TObject*) { heights.push_back(client.Height()); };

    form.SetBounds(0, 0, 800, 600);
    EXPECT_EQ(top.Width(), 800);
    EXPECT_EQ(bottom.Top(), 576);
    EXPECT_EQ(client.Top(), 60);
    EXPECT_EQ(client.Height(), 516);
    top.SetHeight(100);  // a top child that grows moves the client
    EXPECT_EQ(client.Top(), 100);
    EXPECT_EQ(client.Height(), 476);
    EXPECT_EQ(heights, (std::vector<int>{516, 476}));
}

TEST(CheckBoxTest, CheckedByAnyoneRaisesClickOnChangeOnly) {
    TCheckBox box(nullptr);
    int clicks = 0;
    box.OnClick = [&](TObject*) { ++clicks; };
    box.SetChecked(true);
    box.SetChecked(true);
    box.Click();
    EXPECT_FALSE(box.Checked());
    EXPECT_EQ(clicks, 2);
}

}  // namespace
}  // namespace portvale

namespace portvale {
namespace {

TEST(RichEditTest, BlocksGoInFrontAndTheOldestTextIsTrimmedOnACharacterBoundary) {
    TRichEdit pane(nullptr);
    RecordingPeer peer;
    pane.SetPeer(&peer);
    pane.SetCapacity(10);
    struct Step {
        std::string block;
        std::string text;
        std::size_t trimmedChars;
    };
    for (const Step& step : {Step{"abc", "abc", 0}, Step{"12345", "12345abc", 0},
                             Step{"\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9" "12345a", 2},  // éé: 4 bytes
                             Step{"xyzxyzxyz\xC3\xA9", "xyzxyzxyz", 9}}) {
        pane.Prepend(step.block);
        EXPECT_EQ(pane.Text(), step.text);
        EXPECT_LE(pane.Size(), pane.Capacity());
        EXPECT_EQ(pane.LastPrepended(), step.block);
        EXPECT_EQ(pane.LastTrimmedChars(), step.trimmedChars) << step.block;
    }
    pane.UserSetText("typed");
    pane.Prepend(">");
    EXPECT_EQ(pane.Text(), ">typed") << "what the user typed is text like any other";
    pane.SetPeer(nullptr);
}

}  // namespace
}  // namespace portvale
