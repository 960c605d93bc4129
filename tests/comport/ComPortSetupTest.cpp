// The setup dialog run headless: the scripted interaction plays the user on the form
// while the port sits on the recording device and the port list comes from a sysfs
// tree of the test's own.
#include <functional>
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
        for (const char* name : {"ttyS0", "ttyS1", "ttyS10"}) tree.AddTty(name, std::string("pnp0/") + name, "4");
        tree.AddUsbDevice("usb1/1-2", "FT232R USB UART", "FTDI");
        tree.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
        port->SetEvents(TComEvents{});
        ResetPort();
    }

    void ResetPort() {
        port->SetPort("ttyS1");
        port->SetBaudRate(br9600);
        port->SetDataBits(dbEight);
        port->SetStopBits(sbOneStopBit);
        port->Parity().SetBits(prOdd);
        port->FlowControl().SetFlowControl(fcNone);
    }

    // The user: notes what the six lists show, picks items (list name to item text;
    // a text the list does not offer is typed), then presses the button.
    void PlayUser(std::map<std::string, std::string> picks, TButton* TComSetupFrm::*button) {
        user.OnShowModal = [this, picks, button](TForm& form) {
            auto& setup = dynamic_cast<TComSetupFrm&>(form);
            shown.clear();
            for (auto list : kLists) shown.push_back((setup.*list)->Text());
            for (const auto& [name, item] : picks) {
                auto* combo = dynamic_cast<TComComboBox*>(setup.FindComponent(name));
                if (combo->IndexOf(item) >= 0) {
                    combo->UserSetItemIndex(combo->IndexOf(item));
                } else {
                    EXPECT_TRUE(combo->Editable()) << item << " is not offered";
                    combo->UserSetText(item);
                }
            }
            (setup.*button)->Click();
            return form.ModalResult();
        };
    }

    std::string Settings() const {
        return port->Port() + " " + BaudRateText(port->BaudRate(), port->CustomBaudRate()) + " " +
               DataBitsToStr(port->DataBits()) + " " +
               StopBitsToStr(port->StopBits()) + " " + ParityToStr(port->Parity().Bits()) + " " +
               FlowControlToStr(port->FlowControl().FlowControl());
    }

    test::SysfsTree tree;
    test::RecordingInteraction user;
    std::vector<std::string> shown;
};

int ComCodeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const EComPort& e) {
        return e.ComCode();
    }
    return 0;
}

std::string Place(const TControl& c) {
    return c.Parent()->Name() + " " + std::to_string(c.Left()) + "," + std::to_string(c.Top()) + " " +
           std::to_string(c.Width()) + "x" + std::to_string(c.Height());
}

TEST_F(SetupDialogTest, FormHasItsControlsWhereAndAsDesigned) {
    TComSetupFrm form(nullptr);
    EXPECT_EQ(form.Caption() + "|" + form.GroupBox1->Caption(), "Setup| Settings ");
    EXPECT_TRUE(form.BorderStyle == TFormBorderStyle::bsDialog && form.Position == TPosition::poScreenCenter);
    EXPECT_EQ(std::to_string(form.Width()) + "x" + std::to_string(form.Height()), "231x216");
    EXPECT_EQ(Place(*form.GroupBox1), "ComSetupFrm 8,8 217x169");
    EXPECT_EQ(Place(*form.Button1) + " " + form.Button1->Caption(), "ComSetupFrm 70,184 75x25 OK");
    EXPECT_EQ(Place(*form.Button2) + " " + form.Button2->Caption(), "ComSetupFrm 150,184 75x25 Cancel");
    EXPECT_TRUE(form.Button1->Default && !form.Button1->Cancel && form.Button1->ModalResult == mrOk);
    EXPECT_TRUE(form.Button2->Cancel && !form.Button2->Default && form.Button2->ModalResult == mrCancel);
    const char* captions[] = {"Port", "Baud rate", "Data bits", "Stop bits", "Parity", "Flow control"};
    for (int i = 0; i < 6; ++i) {
        const auto* label = dynamic_cast<const TLabel*>(form.FindComponent("Label" + std::to_string(i + 1)));
        const TComComboBox* list = form.*kLists[i];
        ASSERT_TRUE(label && label->FocusControl == list);
        EXPECT_EQ(label->Caption() + " " + std::to_string(label->Left()) + "," + std::to_string(label->Top()),
                  captions[i] + (" 8," + std::to_string(24 + 24 * i)));
        EXPECT_EQ(Place(*list), "GroupBox1 80," + std::to_string(16 + 24 * i) + " 129x21");
        EXPECT_EQ(list->ComProperty(), static_cast<TComProperty>(cpPort + i));
        EXPECT_FALSE(list->AutoApply()) << "nothing reaches the port before OK";
    }
    // Tab order is the order of the children: the lists top to bottom, then OK, Cancel.
    std::vector<std::string> tabOrder;
    for (int i = 0; i < form.GroupBox1->ControlCount(); ++i)
        if (dynamic_cast<TComboBox*>(form.GroupBox1->Controls(i))) tabOrder.push_back(form.GroupBox1->Controls(i)->Name());
    for (int i = 0; i < form.ControlCount(); ++i) tabOrder.push_back(form.Controls(i)->Name());
    EXPECT_EQ(tabOrder, (std::vector<std::string>{"Combo1", "Combo2", "Combo3", "Combo4", "Combo5", "Combo6",
                                                  "GroupBox1", "Button1", "Button2"}));
    EXPECT_EQ(form.Combo1->Items(), (std::vector<std::string>{"ttyS0", "ttyS1", "ttyS10", "ttyUSB0"}));
    EXPECT_EQ(form.Combo1->ItemLabel(3), "ttyUSB0 \xE2\x80\x94 FT232R USB UART");
}

TEST_F(SetupDialogTest, ShowsThePortsSettingsOkWritesEveryListAndCancelNothing) {
    PlayUser({}, &TComSetupFrm::Button1);
    port->ShowSetupDialog();
    EXPECT_EQ(user.modals, std::vector<std::string>{"Setup"});
    EXPECT_EQ(shown, (std::vector<std::string>{"ttyS1", "9600", "8", "1", "Odd", "None"}));
    EXPECT_EQ(Settings(), "ttyS1 9600 8 1 Odd None");
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

// What the lists show for values of the port's own, and what OK without a pick keeps.
TEST_F(SetupDialogTest, PortsOwnValuesAreShownAndKeptByOk) {
    struct Case {
        const char* what;
        std::function<void(TComPort&)> arrange;
        std::vector<std::string> shown;
        const char* kept;
    };
    auto customFlow = [](TComPort& p) {
        p.FlowControl().SetControlRTS(rtsHandshake);
        p.FlowControl().SetXonXoffIn(true);
    };
    const std::vector<Case> cases = {
        {"name in other letter case", [](TComPort& p) { p.SetPort("TTYUSB0"); },
         {"ttyUSB0", "9600", "8", "1", "Odd", "None"}, "ttyUSB0 9600 8 1 Odd None"},
        // Offered among the listed ones, so OK does not hand the port an empty name.
        {"name the system does not list", [](TComPort& p) { p.SetPort("ttyACM3"); },
         {"ttyACM3", "9600", "8", "1", "Odd", "None"}, "ttyACM3 9600 8 1 Odd None"},
        {"rate of the user's own", [](TComPort& p) { p.SetBaudRate(brCustom); p.SetCustomBaudRate(250000); },
         {"ttyS1", "250000", "8", "1", "Odd", "None"}, "ttyS1 250000 8 1 Odd None"},
        {"flow control of no preset", customFlow, {"ttyS1", "9600", "8", "1", "Odd", "Custom"},
         "ttyS1 9600 8 1 Odd Custom"},
    };
    for (const Case& c : cases) {
        ResetPort();
        c.arrange(*port);
        PlayUser({}, &TComSetupFrm::Button1);
        EditComPort(port.get());
        EXPECT_EQ(shown, c.shown) << c.what;
        EXPECT_EQ(Settings(), c.kept) << c.what;
    }
    EXPECT_EQ(port->FlowControl().ControlRTS(), rtsHandshake) << "Custom leaves the flow settings as they are";
    EXPECT_TRUE(port->FlowControl().XonXoffIn());
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
    EXPECT_EQ(ComCodeOf([&] { EditComPort(port.get()); }), CError_OpenFailed);
    EXPECT_EQ(port->UpdateDepth(), 0) << "left updating, the port would take no later setting to the device";
    EXPECT_FALSE(port->Connected());
}

// Typed texts are the port and the rate; what no port could take, and a rate the
// open device cannot make, are refused with a message and change nothing.
TEST_F(SetupDialogTest, TypedPortAndRateAreTakenAndWhatCannotBeIsRefusedWithNothingChanged) {
    struct Case {
        const char* what;
        bool open;
        std::map<std::string, std::string> picks;
        const char* settings;
        const char* message;  // a part of the one box shown; "" for none
    };
    const std::vector<Case> cases = {
        {"a pty's link and a rate past the list", false, {{"Combo1", "/tmp/portA"}, {"Combo2", " 250000 "}},
         "/tmp/portA 250000 8 1 Odd None", ""},
        {"an offered fast rate", true, {{"Combo2", "921600"}}, "ttyS1 921600 8 1 Odd None", ""},
        {"a rate that is no number", false, {{"Combo2", "fast"}, {"Combo3", "7"}}, "ttyS1 9600 8 1 Odd None",
         "\"fast\" is not a baud rate"},
        {"no port", false, {{"Combo1", " "}, {"Combo3", "7"}}, "ttyS1 9600 8 1 Odd None", "Choose a port"},
        {"a rate the device cannot make", true, {{"Combo1", "ttyUSB0"}, {"Combo2", "3000000"}, {"Combo3", "7"}},
         "ttyS1 9600 8 1 Odd None", "cannot run at 3000000 baud"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (port->Connected()) port->Close();
        ResetPort();
        if (c.open) port->Open();
        user.shown.clear();
        api.ClearCalls();
        if (std::string(c.message).find("cannot run") != std::string::npos)
            api.Fail("SetCommState", ERROR_RATE_NOT_SUPPORTED, 1);
        PlayUser(c.picks, &TComSetupFrm::Button1);
        EditComPort(port.get());
        EXPECT_EQ(Settings(), c.settings);
        EXPECT_EQ(port->Connected(), c.open);
        EXPECT_EQ(port->UpdateDepth(), 0);
        if (*c.message == '\0') {
            EXPECT_TRUE(user.shown.empty()) << user.shown.front().text;
            continue;
        }
        ASSERT_EQ(user.shown.size(), 1u);
        EXPECT_NE(user.shown[0].text.find(c.message), std::string::npos) << user.shown[0].text;
        if (!c.open) continue;
        // The device runs as before: the last control block it took is the old one.
        const auto states = api.CallsNamed("SetCommState");
        ASSERT_FALSE(states.empty());
        EXPECT_EQ(states.back().dcb.BaudRate, 9600u);
        EXPECT_EQ(states.back().dcb.ByteSize, 8);
    }
}

TEST_F(SetupDialogTest, NoPortListMeansNoDialogAndTheRegistryErrorForTheCaller) {
    test::SysfsTree empty;  // replaces the roots: a system without serial ports
    EXPECT_EQ(ComCodeOf([&] { port->ShowSetupDialog(); }), CError_RegError);
    EXPECT_TRUE(user.modals.empty());
}

}  // namespace
}  // namespace portvale
