// The setting controls: the item list each setting gets, what a pick writes (at once
// only with AutoApply), a port destroyed under its controls, and how the radio group
// tells a user's change from the program's update.
#include <functional>
#include <memory>

#include "comport/ComPortControls.h"
#include "tests/comport/ComPortTestSupport.h"
#include "tests/platform/registry/SysfsTree.h"

namespace portvale {
namespace {

// Settings other than the defaults, so a control showing the defaults by mistake is seen.
std::unique_ptr<TComPort> MakePort(const std::string& name) {
    auto port = std::make_unique<TComPort>(nullptr);
    port->SetPort(name);
    port->SetBaudRate(br19200);
    port->SetDataBits(dbSeven);
    port->SetStopBits(sbTwoStopBits);
    port->Parity().SetBits(prEven);
    port->FlowControl().SetFlowControl(fcSoftware);
    return port;
}

struct Setting {
    TComProperty property;
    std::vector<std::string> items;
    const char* current;  // MakePort's value
    const char* pick;
    std::function<std::string(const TComPort&)> read;
};

class ComControlsTest : public ::testing::Test {
protected:
    ComControlsTest() {
        for (const char* name : {"ttyS1", "ttyS0", "ttyUSB0"}) tree.AddTty(name, std::string("pnp0/") + name, "4");
    }
    test::SysfsTree tree;
};

TEST_F(ComControlsTest, EachSettingListsItsTextsAndAPickReachesThePortAtOnceOnlyWithAutoApply) {
    const std::vector<Setting> settings = {
        {cpPort, {"ttyS0", "ttyS1", "ttyUSB0"}, "ttyS1", "ttyUSB0", [](const TComPort& p) { return p.Port(); }},
        // Numbers only; past the enumeration's 256000, the fast rates of Linux adapters.
        {cpBaudRate,
         {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000", "57600",
          "115200", "128000", "230400", "256000", "460800", "921600", "1000000", "1500000", "2000000", "3000000",
          "4000000"},
         "19200", "921600", [](const TComPort& p) { return BaudRateText(p.BaudRate(), p.CustomBaudRate()); }},
        {cpDataBits, {"5", "6", "7", "8"}, "7", "5", [](const TComPort& p) { return DataBitsToStr(p.DataBits()); }},
        {cpStopBits, {"1", "1.5", "2"}, "2", "1.5", [](const TComPort& p) { return StopBitsToStr(p.StopBits()); }},
        {cpParity, {"None", "Odd", "Even", "Mark", "Space"}, "Even", "Space",
         [](const TComPort& p) { return ParityToStr(p.Parity().Bits()); }},
        {cpFlowControl, {"Hardware", "Software", "None", "Custom"}, "Software", "Hardware",
         [](const TComPort& p) { return FlowControlToStr(p.FlowControl().FlowControl()); }},
    };
    for (const Setting& s : settings) {
        for (const bool autoApply : {false, true}) {
            TComComboBox combo(nullptr);
            combo.SetComProperty(s.property);
            EXPECT_EQ(combo.Items(), s.items) << s.pick;
            EXPECT_EQ(combo.ItemIndex(), 0) << "no port: the first item";
            auto port = MakePort("ttyS1");
            combo.SetComPort(port.get());
            EXPECT_EQ(combo.Text(), s.current);
            combo.SetAutoApply(autoApply);
            combo.UserSetItemIndex(combo.IndexOf(s.pick));
            EXPECT_EQ(s.read(*port), autoApply ? s.pick : s.current) << s.pick << " " << autoApply;
            combo.ApplySettings();
            EXPECT_EQ(s.read(*port), s.pick);
        }
    }
}

TEST_F(ComControlsTest, ADestroyedPortIsDroppedAndTheFirstItemShown) {
    auto port = MakePort("ttyS1");
    TComComboBox combo(nullptr);
    TComRadioGroup group(nullptr);
    combo.SetComProperty(cpParity);
    combo.SetComPort(port.get());
    group.SetComProperty(cpParity);
    group.SetComPort(port.get());
    port.reset();
    EXPECT_EQ(combo.ComPort(), nullptr);
    EXPECT_EQ(group.ComPort(), nullptr);
    EXPECT_EQ(combo.ItemIndex(), 0);
    EXPECT_EQ(group.ItemIndex(), 0);
    EXPECT_EQ(group.LastIndex(), 0);
    combo.SetAutoApply(true);
    combo.UserSetItemIndex(1);  // goes nowhere, and touches nothing that went
}

TEST_F(ComControlsTest, RadioGroupTakesUsersChangesButNotTheProgramsUpdate) {
    // The name differs from the listed one in letter case only: taking the update
    // back as a choice would rename the port under AutoApply.
    auto port = MakePort("TTYS1");
    TComRadioGroup group(nullptr);
    group.SetComProperty(cpPort);
    group.SetAutoApply(true);
    group.SetComPort(port.get());
    EXPECT_EQ(group.ItemIndex(), 1);
    EXPECT_EQ(port->Port(), "TTYS1");
    group.UserSetItemIndex(2);
    EXPECT_EQ(port->Port(), "ttyUSB0");
    EXPECT_EQ(group.LastIndex(), 2);
}

}  // namespace
}  // namespace portvale
