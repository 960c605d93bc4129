// The combo box model: items with labels, selection by the program and by the user.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/Exceptions.h"
#include "framework/controls/Controls.h"

namespace portvale {
namespace {

struct RecordingPeer : TControlPeer {
    void Changed(TChange what) override { changes.push_back(what); }
    std::vector<TChange> changes;
};

// Hears the user's pick before OnChange does, as a control built on it would.
class WatchedCombo : public TComboBox {
public:
    using TComboBox::TComboBox;
    std::vector<std::string> seen;

protected:
    void Change() override {
        seen.push_back("Change " + Text());
        TComboBox::Change();
    }
};

struct Step {
    const char* what;
    std::function<void(TComboBox&)> act;
    int index;
    const char* text;
    std::vector<TChange> told;  // what the peer heard
    int changes;                // OnChange so far
};

TEST(ComboBoxTest, ProgramSelectsSilentlyAndTheUsersPickRaisesChangeOnce) {
    WatchedCombo combo(nullptr);
    RecordingPeer peer;
    combo.SetPeer(&peer);
    int changes = 0;
    combo.OnChange = [&](TObject*) {
        combo.seen.push_back("OnChange");
        ++changes;
    };
    const std::vector<Step> steps = {
        {"fill", [](TComboBox& c) { c.SetItems({"None", "Odd", "Even"}); }, -1, "", {TChange::Items}, 0},
        {"program selects", [](TComboBox& c) { c.SetItemIndex(1); }, 1, "Odd", {TChange::ItemIndex}, 0},
        {"program selects the same", [](TComboBox& c) { c.SetItemIndex(1); }, 1, "Odd", {}, 0},
        {"text in other letter case", [](TComboBox& c) { c.SetText("EVEN"); }, 2, "Even", {TChange::ItemIndex}, 0},
        {"text of no item", [](TComboBox& c) { c.SetText("Mark"); }, 2, "Even", {}, 0},
        {"index out of range", [](TComboBox& c) { c.SetItemIndex(3); }, -1, "", {TChange::ItemIndex}, 0},
        {"user picks", [](TComboBox& c) { c.UserSetItemIndex(0); }, 0, "None", {}, 1},
        {"user picks the same", [](TComboBox& c) { c.UserSetItemIndex(0); }, 0, "None", {}, 1},
        {"user picks another", [](TComboBox& c) { c.UserSetItemIndex(2); }, 2, "Even", {}, 2},
        {"refill", [](TComboBox& c) { c.SetItems({"5", "6"}); }, -1, "", {TChange::Items}, 2},
    };
    for (const Step& step : steps) {
        peer.changes.clear();
        step.act(combo);
        EXPECT_EQ(combo.ItemIndex(), step.index) << step.what;
        EXPECT_EQ(combo.Text(), step.text) << step.what;
        EXPECT_EQ(peer.changes, step.told) << step.what;
        EXPECT_EQ(changes, step.changes) << step.what;
    }
    EXPECT_EQ(combo.seen, (std::vector<std::string>{"Change None", "OnChange", "Change Even", "OnChange"}))
        << "the control hears the pick, with the new text, before the handler";
    combo.SetPeer(nullptr);
}

TEST(ComboBoxTest, LabelsAreShownWhileTheTextStaysTheItem) {
    TComboBox combo(nullptr);
    combo.SetItems({"ttyS0", "ttyUSB0"}, {"", "ttyUSB0 \xE2\x80\x94 FT232R USB UART"});
    EXPECT_EQ(combo.ItemLabel(0), "ttyS0") << "no label: the text is shown";
    EXPECT_EQ(combo.ItemLabel(1), "ttyUSB0 \xE2\x80\x94 FT232R USB UART");
    combo.UserSetItemIndex(1);
    EXPECT_EQ(combo.Text(), "ttyUSB0");
    EXPECT_THROW(combo.ItemLabel(2), EListError);
    EXPECT_THROW(combo.ItemLabel(-1), EListError);
}

TEST(ComboBoxTest, InsertedItemKeepsTheSelectionOnItsItem) {
    TComboBox combo(nullptr);
    combo.SetItems({"COM1", "COM3"});
    combo.SetItemIndex(1);
    combo.InsertItem(1, "com2", "COM2 (gone)");
    EXPECT_EQ(combo.Items(), (std::vector<std::string>{"COM1", "com2", "COM3"}));
    EXPECT_EQ(combo.Text(), "COM3");
    EXPECT_EQ(combo.IndexOf("COM2"), 1);
    EXPECT_EQ(combo.ItemLabel(1), "COM2 (gone)");
    combo.InsertItem(3, "COM4");
    EXPECT_EQ(combo.Text(), "COM3") << "an item after the selection moves nothing";
    EXPECT_THROW(combo.InsertItem(5, "COM9"), EListError);
    EXPECT_EQ(combo.ItemCount(), 4);
}

}  // namespace
}  // namespace portvale
