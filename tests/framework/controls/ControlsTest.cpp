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

TEST(RichEditTest, LinesGoOnTopTheTopLineGrowsAndTheOldestTextIsTrimmedOnACharacterBoundary) {
    TRichEdit pane(nullptr);
    RecordingPeer peer;
    pane.SetPeer(&peer);
    pane.SetCapacity(10);
    struct Step {
        bool newLine;
        std::string text;
        std::string paneText;
        std::size_t trimmedChars;
    };
    for (const Step& step : {Step{false, "\xC3\xA9" "b", "\xC3\xA9" "b", 0}, Step{false, "c", "\xC3\xA9" "bc", 0},
                             Step{true, "", "\n\xC3\xA9" "bc", 0}, Step{true, "12", "12\n\n\xC3\xA9" "bc", 0},
                             Step{false, "345", "12345\n\n\xC3\xA9" "b", 1},
                             // The cut would split the 2-byte é: the whole character goes.
                             Step{false, "67", "1234567\n\n", 2}, Step{true, "abcdefgh", "abcdefgh\n1", 8}}) {
        if (step.newLine)
            pane.AddLine(step.text);
        else
            pane.AppendToTopLine(step.text);
        EXPECT_EQ(pane.Text(), step.paneText);
        EXPECT_LE(pane.Size(), pane.Capacity());
        EXPECT_EQ(pane.LastAdded(), step.text);
        EXPECT_EQ(pane.LastTrimmedChars(), step.trimmedChars) << step.text;
    }
    pane.UserSetText("typed");
    EXPECT_FALSE(pane.TopLineOpen());
    pane.AppendToTopLine(">");
    EXPECT_EQ(pane.Text(), ">\ntyped") << "what the user typed is text like any other, and stays whole";
    pane.SetPeer(nullptr);
}

}  // namespace
}  // namespace portvale
