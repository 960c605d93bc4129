// The setting controls: the item list each setting gets, the link to a port and its
// removal, what a pick writes (at once only with AutoApply), and how the radio group
// tells a user's change from the program's update.
#include <memory>
#include <string>
#include <vector>

#include "comport/ComPortControls.h"
#include "tests/comport/ComPortTestSupport.h"
#include "tests/platform/registry/SysfsTree.h"

namespace portvale {
namespace {

// A port with settings other than its defaults, so a control that shows the
// defaults by mistake is seen.
std::unique_ptr<TComPort> MakePort(const std::string& name = "ttyS1") {
    auto port = std::make_unique<TComPort>(nullptr);
    port->SetPort(name);
    port->SetBaudRate(br19200);
    port->SetDataBits(dbSeven);
    port->SetStopBits(sbTwoStopBits);
    port->Parity().SetBits(prEven);
    port->FlowControl().SetFlowControl(fcSoftware);
    return port;
}

struct ListCase {
    TComProperty property;
    std::vector<std::string> items;
    const char* portValue;  // the port's value shown once linked
};

const std::vector<ListCase> kLists = {
    {cpNone, {}, ""},
    {cpPort, {"ttyS0", "ttyS1", "ttyUSB0"}, "ttyS1"},
    {cpBaudRate,
     {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000", "57600",
      "115200", "128000", "256000"},
     "19200"},
    {cpDataBits, {"5", "6", "7", "8"}, "7"},
    {cpStopBits, {"1", "1.5", "2"}, "2"},
    {cpParity, {"None", "Odd", "Even", "Mark", "Space"}, "Even"},
    {cpFlowControl, {"Hardware", "Software", "None", "Custom"}, "Software"},
};

class ComControlsTest : public ::testing::Test {
protected:
    ComControlsTest() {
        tree.AddTty("ttyS1", "platform/serial8250/tty/ttyS1", "4");
        tree.AddTty("ttyS0", "platform/serial8250/tty/ttyS0", "4");
        tree.AddUsbDevice("usb1/1-2", "FT232R USB UART", "FTDI");
        tree.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
    }
    test::SysfsTree tree;
};

TEST_F(ComControlsTest, EachSettingListsItsTextsAndShowsFirstItemThenThePortsValue) {
    for (const ListCase& c : kLists) {
        TComComboBox combo(nullptr);
        combo.SetComProperty(c.property);
        EXPECT_EQ(combo.Items(), c.items) << int(c.property);
        EXPECT_EQ(combo.ItemIndex(), c.items.empty() ? -1 : 0) << "no port: the first item";
        auto port = MakePort();
        combo.SetComPort(port.get());
        EXPECT_EQ(combo.Text(), c.portValue) << int(c.property);

        TComRadioGroup group(nullptr);
        group.SetComPort(port.get());
        group.SetComProperty(c.property);
        EXPECT_EQ(group.Items(), c.items) << int(c.property);
        const int shown = group.ItemIndex();
        EXPECT_EQ(shown < 0 ? "" : group.Items()[static_cast<std::size_t>(shown)], c.portValue);
        EXPECT_EQ(group.LastIndex(), shown);
    }
}

TEST_F(ComControlsTest, PortListShowsTheDevicesNameBesideTheBareOne) {
    TComComboBox combo(nullptr);
    combo.SetComProperty(cpPort);
    ASSERT_EQ(combo.ItemCount(), 3);
    EXPECT_EQ(combo.ItemLabel(0), "ttyS0") << "a built-in UART has nothing to tell";
    EXPECT_EQ(combo.ItemLabel(2), "ttyUSB0 \xE2\x80\x94 FT232R USB UART");
    combo.UserSetItemIndex(2);
    EXPECT_EQ(combo.Text(), "ttyUSB0") << "the setting stays the name";
}

TEST_F(ComControlsTest, PicksReachThePortAtOnceOnlyWithAutoApply) {
    struct Pick {
        TComProperty property;
        const char* item;
        std::function<std::string(const TComPort&)> read;
        const char* before;
    };
    const std::vector<Pick> picks = {
        {cpPort, "ttyUSB0", [](const TComPort& p) { return p.Port(); }, "ttyS1"},
        {cpBaudRate, "115200", [](const TComPort& p) { return BaudRateToStr(p.BaudRate()); }, "19200"},
        {cpDataBits, "5", [](const TComPort& p) { return DataBitsToStr(p.DataBits()); }, "7"},
        {cpStopBits, "1.5", [](const TComPort& p) { return StopBitsToStr(p.StopBits()); }, "2"},
        {cpParity, "Space", [](const TComPort& p) { return ParityToStr(p.Parity().Bits()); }, "Even"},
        {cpFlowControl, "Hardware",
         [](const TComPort& p) { return FlowControlToStr(p.FlowControl().FlowControl()); }, "Software"},
    };
    for (const Pick& pick : picks) {
        for (const bool autoApply : {false, true}) {
            auto port = MakePort();
            TComComboBox combo(nullptr);
            combo.SetComProperty(pick.property);
            combo.SetComPort(port.get());
            combo.SetAutoApply(autoApply);
            int changes = 0;
            combo.OnChange = [&](TObject*) { ++changes; };
            combo.UserSetItemIndex(combo.IndexOf(pick.item));
            EXPECT_EQ(changes, 1);
            EXPECT_EQ(pick.read(*port), autoApply ? pick.item : pick.before) << pick.item << " " << autoApply;
            combo.ApplySettings();
            EXPECT_EQ(pick.read(*port), pick.item) << pick.item;
        }
    }
}

TEST_F(ComControlsTest, AValueTheListLacksSelectsNothingAndKeepsThePickedValue) {
    auto port = MakePort("ttyACM9");
    TComComboBox combo(nullptr);
    combo.SetComProperty(cpPort);
    combo.UserSetItemIndex(combo.IndexOf("ttyS1"));
    combo.SetComPort(port.get());
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(combo.Text(), "");
    combo.ApplySettings();
    EXPECT_EQ(port->Port(), "ttyS1") << "the value field kept the earlier pick";
}

TEST_F(ComControlsTest, ADestroyedPortIsDroppedAndTheFirstItemShown) {
    auto port = MakePort();
    TComComboBox combo(nullptr);
    TComRadioGroup group(nullptr);
    combo.SetComProperty(cpParity);
    group.SetComProperty(cpParity);
    combo.SetComPort(port.get());
    group.SetComPort(port.get());
    ASSERT_EQ(combo.Text(), "Even");
    ASSERT_EQ(group.ItemIndex(), 2);
    port.reset();
    EXPECT_EQ(combo.ComPort(), nullptr);
    EXPECT_EQ(group.ComPort(), nullptr);
    EXPECT_EQ(combo.ItemIndex(), 0);
    EXPECT_EQ(group.ItemIndex(), 0);
    EXPECT_EQ(group.LastIndex(), 0);
    // Picks go nowhere now, and nothing refers to the port that went.
    combo.SetAutoApply(true);
    combo.UserSetItemIndex(1);
    combo.ApplySettings();
    group.ApplySettings();
}

TEST_F(ComControlsTest, ALinkReplacedByAnotherNoLongerHearsTheFirstPortGo) {
    auto first = MakePort("ttyS0");
    auto second = MakePort("ttyS1");
    TComComboBox combo(nullptr);
    combo.SetComProperty(cpPort);
    combo.SetComPort(first.get());
    combo.SetComPort(second.get());
    first.reset();
    EXPECT_EQ(combo.ComPort(), second.get());
    EXPECT_EQ(combo.Text(), "ttyS1");
}

TEST_F(ComControlsTest, RadioGroupTakesUsersChangesButNotTheProgramsUpdate) {
    // The port's name differs from the listed one in letter case only: taking the
    // update back as a choice would rename the port under AutoApply.
    auto port = MakePort("TTYS1");
    TComRadioGroup group(nullptr);
    group.SetComProperty(cpPort);
    group.SetAutoApply(true);
    int clicks = 0;
    group.OnClick = [&](TObject*) { ++clicks; };
    group.SetComPort(port.get());
    EXPECT_EQ(group.ItemIndex(), 1);
    EXPECT_EQ(port->Port(), "TTYS1");
    EXPECT_EQ(clicks, 1) << "the handler hears every change of selection";

    group.UserSetItemIndex(2);
    EXPECT_EQ(port->Port(), "ttyUSB0");
    EXPECT_EQ(group.LastIndex(), 2);
    EXPECT_EQ(clicks, 2);
}

TEST(ComSelectTest, AnUnknownTextTakesTheConversionsFallback) {
    struct FixedList : TComItemList {
        int Count() const override { return 0; }
        std::string Item(int) const override { return {}; }
        void Assign(std::vector<std::string>, std::vector<std::string>) override {}
    } list;
    TComSelect select(list);
    struct Case {
        TComProperty property;
        std::function<int(const TComSelect&)> value;
        int fallback;
    };
    for (const Case& c : {Case{cpBaudRate, [](const TComSelect& s) { return int(s.BaudRateValue); }, br9600},
                          Case{cpDataBits, [](const TComSelect& s) { return int(s.DataBitsValue); }, dbEight},
                          Case{cpStopBits, [](const TComSelect& s) { return int(s.StopBitsValue); }, sbOneStopBit},
                          Case{cpParity, [](const TComSelect& s) { return int(s.ParityValue); }, prNone},
                          Case{cpFlowControl, [](const TComSelect& s) { return int(s.FlowControlValue); }, fcCustom}}) {
        select.SetComProperty(c.property);
        select.Change("bogus");
        EXPECT_EQ(c.value(select), c.fallback) << int(c.property);
    }
}

}  // namespace
}  // namespace portvale
