// The setup dialog run headless: the scripted interaction plays the user on the form
// while the port sits on the recording device and the port list comes from a sysfs
// tree of the test's own.
#include <map>
#include <string>
#include <vector>

#include "comport/ComPortSetup.h"
#include "tests/comport/ComPortTestSupport.h"
#include "tests/platform/registry/SysfsTree.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

TComComboBox* const TComSetupFrm::*const kLists[] = {&TComSetupFrm::Combo1, &TComSetupFrm::Combo2,
                                                      &TComSetupFrm::Combo3, &TComSetupFrm::Combo4,
                                                      &TComSetupFrm::Combo5, &TComSetupFrm::Combo6};

class SetupDialogTest : public test::RecordedPortTest {
protected:
    void SetUp() override {
        RecordedPortTest::SetUp();
        for (const char* name : {"ttyS0", "ttyS1", "ttyS10"})
            tree.AddTty(name, std::string("platform/serial8250/tty/") + name, "4");
        tree.AddUsbDevice("usb1/1-2", "FT232R USB UART", "FTDI");
        tree.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
        port->SetPort("ttyS1");
        port->SetBaudRate(br9600);
        port->SetDataBits(dbEight);
        port->SetStopBits(sbOneStopBit);
        port->Parity().SetBits(prOdd);
        port->FlowControl().SetFlowControl(fcNone);
        port->SetEvents(TComEvents{});
    }

    // The user: notes what the six lists show, picks items (list name to item text),
    // then presses the button.
    void PlayUser(std::map<std::string, std::string> picks, TButton* TComSetupFrm::*button) {
        user.OnShowModal = [this, picks, button](TForm& form) {
            auto& setup = dynamic_cast<TComSetupFrm&>(form);
            shown.clear();
            for (auto list : kLists) shown.push_back((setup.*list)->Text());
            for (const auto& [name, item] : picks) {
                auto* combo = dynamic_cast<TComComboBox*>(setup.FindComponent(name));
                EXPECT_GE(combo->IndexOf(item), 0) << item << " is not offered";
                combo->UserSetItemIndex(combo->IndexOf(item));
            }
            (setup.*button)->Click();
            return form.ModalResult();
        };
    }

    std::string Settings() const {
        return port->Port() + " " + BaudRateToStr(port->BaudRate()) + " " + DataBitsToStr(port->DataBits()) + " " +
               StopBitsToStr(port->StopBits()) + " " + ParityToStr(port->Parity().Bits()) + " " +
               FlowControlToStr(port->FlowControl().FlowControl());
    }

    test::SysfsTree tree;
    test::RecordingInteraction user;
    std::vector<std::string> shown;
};

TEST_F(SetupDialogTest, FormHasItsControlsWhereAndAsDesigned) {
    TComSetupFrm form(nullptr);
    EXPECT_EQ(form.Caption(), "Setup");
    EXPECT_EQ(form.BorderStyle, TFormBorderStyle::bsDialog);
    EXPECT_EQ(form.Position, TPosition::poScreenCenter);
    EXPECT_EQ(form.Width(), 231);
    EXPECT_EQ(form.Height(), 216);
    struct Placed {
        const char* name;
        const char* parent;
        const char* caption;
        int left, top, width, height;
    };
    const std::vector<Placed> expected = {
        {"GroupBox1", "ComSetupFrm", " Settings ", 8, 8, 217, 169},
        {"Label1", "GroupBox1", "Port", 8, 24, -1, -1},
        {"Label2", "GroupBox1", "Baud rate", 8, 48, -1, -1},
        {"Label3", "GroupBox1", "Data bits", 8, 72, -1, -1},
        {"Label4", "GroupBox1", "Stop bits", 8, 96, -1, -1},
        {"Label5", "GroupBox1", "Parity", 8, 120, -1, -1},
        {"Label6", "GroupBox1", "Flow control", 8, 144, -1, -1},
        {"Combo1", "GroupBox1", nullptr, 80, 16, 129, 21},
        {"Combo2", "GroupBox1", nullptr, 80, 40, 129, 21},
        {"Combo3", "GroupBox1", nullptr, 80, 64, 129, 21},
        {"Combo4", "GroupBox1", nullptr, 80, 88, 129, 21},
        {"Combo5", "GroupBox1", nullptr, 80, 112, 129, 21},
        {"Combo6", "GroupBox1", nullptr, 80, 136, 129, 21},
        {"Button1", "ComSetupFrm", "OK", 70, 184, 75, 25},
        {"Button2", "ComSetupFrm", "Cancel", 150, 184, 75, 25},
    };
    for (const Placed& p : expected) {
        auto* c = dynamic_cast<TControl*>(form.FindComponent(p.name));
        ASSERT_NE(c, nullptr) << p.name;
        EXPECT_EQ(c->Parent()->Name(), p.parent) << p.name;
        if (p.caption) {
            EXPECT_EQ(dynamic_cast<TCaptionedControl*>(c)->Caption(), p.caption) << p.name;
        }
        EXPECT_EQ(c->Left(), p.left) << p.name;
        EXPECT_EQ(c->Top(), p.top) << p.name;
        if (p.width >= 0) {  // a label's size is its text's
            EXPECT_EQ(c->Width(), p.width) << p.name;
            EXPECT_EQ(c->Height(), p.height) << p.name;
        }
    }
    // Tab order is the order of the children: the lists top to bottom, OK, Cancel.
    std::vector<std::string> focusable;
    for (int i = 0; i < form.GroupBox1->ControlCount(); ++i)
        if (dynamic_cast<TComboBox*>(form.GroupBox1->Controls(i))) focusable.push_back(form.GroupBox1->Controls(i)->Name());
    for (int i = 0; i < form.ControlCount(); ++i) focusable.push_back(form.Controls(i)->Name());
    EXPECT_EQ(focusable, (std::vector<std::string>{"Combo1", "Combo2", "Combo3", "Combo4", "Combo5", "Combo6",
                                                   "GroupBox1", "Button1", "Button2"}));
    const TComProperty properties[] = {cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ((form.*kLists[i])->ComProperty(), properties[i]);
        EXPECT_FALSE((form.*kLists[i])->AutoApply()) << "nothing reaches the port before OK";
        EXPECT_EQ(form.Label1->FocusControl, form.Combo1);
    }
    EXPECT_TRUE(form.Button1->Default);
    EXPECT_EQ(form.Button1->ModalResult, mrOk);
    EXPECT_TRUE(form.Button2->Cancel);
    EXPECT_EQ(form.Button2->ModalResult, mrCancel);
    EXPECT_EQ(form.Combo1->Items(), (std::vector<std::string>{"ttyS0", "ttyS1", "ttyS10", "ttyUSB0"}));
    EXPECT_EQ(form.Combo1->ItemLabel(3), "ttyUSB0 \xE2\x80\x94 FT232R USB UART");
}

TEST_F(SetupDialogTest, ShowsThePortsSettingsAndOkWritesThemBack) {
    PlayUser({}, &TComSetupFrm::Button1);
    port->ShowSetupDialog();
    EXPECT_EQ(user.modals, std::vector<std::string>{"Setup"});
    EXPECT_EQ(shown, (std::vector<std::string>{"ttyS1", "9600", "8", "1", "Odd", "None"}));
    EXPECT_EQ(Settings(), "ttyS1 9600 8 1 Odd None");
    EXPECT_EQ(port->UpdateDepth(), 0);
}

TEST_F(SetupDialogTest, OkWritesEveryPickAndCancelNothing) {
    const std::map<std::string, std::string> picks = {{"Combo1", "ttyUSB0"}, {"Combo2", "115200"},
                                                      {"Combo3", "7"},       {"Combo4", "2"},
                                                      {"Combo5", "Mark"},    {"Combo6", "Hardware"}};
    PlayUser(picks, &TComSetupFrm::Button2);
    EditComPort(port.get());
    EXPECT_EQ(Settings(), "ttyS1 9600 8 1 Odd None") << "Cancel after changing every list";
    PlayUser(picks, &TComSetupFrm::Button1);
    EditComPort(port.get());
    EXPECT_EQ(Settings(), "ttyUSB0 115200 7 2 Mark Hardware");
}

TEST_F(SetupDialogTest, CustomFlowControlIsShownAndKept) {
    auto& flow = port->FlowControl();
    flow.SetControlRTS(rtsHandshake);
    flow.SetXonXoffIn(true);
    flow.SetControlDTR(dtrHandshake);
    ASSERT_EQ(flow.FlowControl(), fcCustom);
    PlayUser({{"Combo2", "57600"}}, &TComSetupFrm::Button1);
    EditComPort(port.get());
    EXPECT_EQ(shown[5], "Custom");
    EXPECT_EQ(flow.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(flow.XonXoffIn());
    EXPECT_EQ(flow.ControlDTR(), dtrHandshake);
    EXPECT_EQ(port->BaudRate(), br57600);
}

TEST_F(SetupDialogTest, PortNameInOtherLetterCaseTakesTheListedSpelling) {
    port->SetPort("TTYUSB0");
    PlayUser({}, &TComSetupFrm::Button1);
    EditComPort(port.get());
    EXPECT_EQ(shown[0], "ttyUSB0");
    EXPECT_EQ(port->Port(), "ttyUSB0");
}

TEST_F(SetupDialogTest, PortNameTheSystemDoesNotListIsOfferedAndKept) {
    port->SetPort("ttyACM3");
    std::vector<std::string> offered;
    user.OnShowModal = [&](TForm& form) {
        auto& setup = dynamic_cast<TComSetupFrm&>(form);
        offered = setup.Combo1->Items();
        EXPECT_EQ(setup.Combo1->Text(), "ttyACM3");
        setup.Button1->Click();
        return form.ModalResult();
    };
    EditComPort(port.get());
    EXPECT_EQ(offered, (std::vector<std::string>{"ttyACM3", "ttyS0", "ttyS1", "ttyS10", "ttyUSB0"}));
    EXPECT_EQ(port->Port(), "ttyACM3") << "OK must not hand the port an empty name";

    // Picking a listed port instead still works.
    PlayUser({{"Combo1", "ttyS10"}}, &TComSetupFrm::Button1);
    EditComPort(port.get());
    EXPECT_EQ(port->Port(), "ttyS10");
}

TEST_F(SetupDialogTest, OkOnAnOpenPortReconfiguresTheDeviceOnceAtTheEnd) {
    port->Open();
    api.ClearCalls();
    PlayUser({{"Combo2", "19200"}, {"Combo5", "Even"}, {"Combo3", "7"}}, &TComSetupFrm::Button1);
    EditComPort(port.get());
    const auto states = api.CallsNamed("SetCommState");
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].dcb.BaudRate, 19200u);
    EXPECT_EQ(states[0].dcb.ByteSize, 7);
    EXPECT_EQ(api.CountOf("CreateFile"), 0u) << "same port name: no reopen";
}

TEST_F(SetupDialogTest, FailedApplyEndsTheUpdateAndReachesTheCaller) {
    port->Open();
    api.Fail("CreateFile", 2);
    PlayUser({{"Combo1", "ttyUSB0"}, {"Combo2", "38400"}}, &TComSetupFrm::Button1);
    try {
        EditComPort(port.get());
        ADD_FAILURE() << "the reopen's failure did not reach the caller";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_OpenFailed);
    }
    EXPECT_EQ(port->UpdateDepth(), 0);
    EXPECT_FALSE(port->Connected());
    // With the update ended, the device hears the settings again.
    api.Succeed("CreateFile");
    api.ClearCalls();
    port->Open();
    port->SetBaudRate(br4800);
    const auto states = api.CallsNamed("SetCommState");
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[1].dcb.BaudRate, 4800u);
}

TEST_F(SetupDialogTest, NoPortListMeansNoDialogAndTheRegistryErrorForTheCaller) {
    test::SysfsTree empty;  // replaces the roots: a system without serial ports
    try {
        port->ShowSetupDialog();
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ComCode(), CError_RegError);
    }
    EXPECT_TRUE(user.modals.empty());
    EXPECT_EQ(Settings(), "ttyS1 9600 8 1 Odd None");
}

}  // namespace
}  // namespace portvale
