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

// A box the user types into: Text is what stands in it, listed or not; a pick puts
// the item's text there; the program's changes raise nothing, the user's raise Change.
TEST(ComboBoxTest, EditableBoxTextIsWhatWasTypedOrPicked) {
    WatchedCombo combo(nullptr);
    combo.Style = TComboBoxStyle::csDropDown;
    RecordingPeer peer;
    combo.SetPeer(&peer);
    combo.SetItems({"ttyS0", "ttyUSB0"}, {"", "ttyUSB0 \xE2\x80\x94 FT232R USB UART"});
    struct Step {
        std::function<void(TComboBox&)> act;
        std::string text;
        int index;
        std::vector<TChange> told;
        std::size_t changes;  // Change heard so far
    };
    const std::vector<Step> steps = {
        {[](TComboBox& c) { c.SetItemIndex(1); }, "ttyUSB0", 1, {TChange::ItemIndex}, 0},
        {[](TComboBox& c) { c.UserSetText("/tmp/portA"); }, "/tmp/portA", -1, {}, 1},
        {[](TComboBox& c) { c.UserSetText("/tmp/portA"); }, "/tmp/portA", -1, {}, 1},
        {[](TComboBox& c) { c.UserSetText("ttyS0"); }, "ttyS0", 0, {}, 2},
        {[](TComboBox& c) { c.UserSetText("TTYS0"); }, "TTYS0", -1, {}, 3},
        {[](TComboBox& c) { c.UserSetItemIndex(0); }, "ttyS0", 0, {}, 4},
        {[](TComboBox& c) { c.SetText("/dev/serial/by-id/usb-x"); }, "/dev/serial/by-id/usb-x", -1, {TChange::Text}, 4},
        {[](TComboBox& c) { c.SetText("TTYUSB0"); }, "ttyUSB0", 1, {TChange::Text}, 4},
        {[](TComboBox& c) { c.SetItems({"a"}); }, "ttyUSB0", -1, {TChange::Items}, 4},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        peer.changes.clear();
        steps[i].act(combo);
        EXPECT_EQ(combo.Text(), steps[i].text) << "step " << i;
        EXPECT_EQ(combo.ItemIndex(), steps[i].index) << "step " << i;
        EXPECT_EQ(peer.changes, steps[i].told) << "step " << i;
        EXPECT_EQ(combo.seen.size(), steps[i].changes) << "step " << i;
    }
    EXPECT_EQ(combo.seen.back(), "Change ttyS0") << "the control hears the new text";
    combo.SetPeer(nullptr);
}

}  // namespace
}  // namespace portvale
