// The combo box model: items with labels, selection by the program and by the user.
#include <gtest/gtest.h>

#include <functional>

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

TEST(ComboBoxTest, ProgramSelectsSilentlyAndTheUsersPickRaisesChangeOnce) {
    WatchedCombo combo(nullptr);
    RecordingPeer peer;
    combo.SetPeer(&peer);
    combo.OnChange = [&](TObject*) { combo.seen.push_back("OnChange"); };
    struct Step {
        std::function<void(TComboBox&)> act;
        int index;
        std::vector<TChange> told;  // what the peer heard
    };
    const std::vector<Step> steps = {
        {[](TComboBox& c) { c.SetItems({"None", "Odd", "Even"}); }, -1, {TChange::Items}},
        {[](TComboBox& c) { c.SetItemIndex(1); }, 1, {TChange::ItemIndex}},
        {[](TComboBox& c) { c.SetText("EVEN"); }, 2, {TChange::ItemIndex}},
        {[](TComboBox& c) { c.SetText("Mark"); }, 2, {}},
        {[](TComboBox& c) { c.SetItemIndex(3); }, -1, {TChange::ItemIndex}},
        {[](TComboBox& c) { c.UserSetItemIndex(0); }, 0, {}},
        {[](TComboBox& c) { c.UserSetItemIndex(0); }, 0, {}},
        {[](TComboBox& c) { c.UserSetItemIndex(2); }, 2, {}},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        peer.changes.clear();
        steps[i].act(combo);
        EXPECT_EQ(combo.ItemIndex(), steps[i].index) << "step " << i;
        EXPECT_EQ(peer.changes, steps[i].told) << "step " << i;
    }
    EXPECT_EQ(combo.seen, (std::vector<std::string>{"Change None", "OnChange", "Change Even", "OnChange"}))
        << "only the user's changes, heard by the control with the new text before the handler";
    combo.SetPeer(nullptr);
}

TEST(ComboBoxTest, LabelsAreShownWhileTheTextStaysTheItemAndInsertsKeepTheSelection) {
    TComboBox combo(nullptr);
    combo.SetItems({"ttyS0", "ttyUSB0"}, {"", "ttyUSB0 \xE2\x80\x94 FT232R USB UART"});
    combo.SetItemIndex(1);
    combo.InsertItem(0, "ttyACM0");
    EXPECT_EQ(combo.Items(), (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB0"}));
    EXPECT_EQ(combo.Text(), "ttyUSB0");
    EXPECT_EQ(combo.ItemLabel(1), "ttyS0") << "no label: the text is shown";
    EXPECT_EQ(combo.ItemLabel(2), "ttyUSB0 \xE2\x80\x94 FT232R USB UART") << "the label moved with its item";
    EXPECT_THROW(combo.InsertItem(4, "x"), EListError);
}

}  // namespace
}  // namespace portvale
