// Storing and loading port settings in real ini files and in the file-backed registry:
// keys, order and value forms; what loading keeps, converts and falls back to; one
// reconfiguration of an open port; the store and load failure codes.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "framework/Registry.h"
#include "tests/comport/ComPortTestSupport.h"

namespace portvale {
namespace {

namespace fs = std::filesystem;

const TStoredProps kAllGroups{spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers};

// Every setting as text, written independently of the code under test.
std::string Snapshot(const TCustomComPort& p) {
    std::ostringstream s;
    const auto& f = p.FlowControl();
    const auto& t = p.Timeouts();
    s << p.Port() << ' ' << int(p.BaudRate()) << ' ' << p.CustomBaudRate() << ' ' << int(p.StopBits()) << ' '
      << int(p.DataBits()) << ' ' << int(p.EventChar()) << ' ' << p.DiscardNull() << " | parity "
      << int(p.Parity().Bits()) << ' ' << p.Parity().Check() << ' ' << p.Parity().Replace() << ' '
      << int(p.Parity().ReplaceChar()) << " | buffer " << p.Buffer().InputSize() << ' ' << p.Buffer().OutputSize()
      << " | timeouts " << t.ReadInterval() << ' ' << t.ReadTotalMultiplier() << ' ' << t.ReadTotalConstant() << ' '
      << t.WriteTotalMultiplier() << ' ' << t.WriteTotalConstant() << " | flow " << f.OutCTSFlow() << ' '
      << f.OutDSRFlow() << ' ' << int(f.ControlDTR()) << ' ' << int(f.ControlRTS()) << ' ' << f.XonXoffOut() << ' '
      << f.XonXoffIn() << ' ' << f.DSRSensitivity() << ' ' << f.TxContinueOnXoff() << ' ' << int(f.XonChar())
      << ' ' << int(f.XoffChar());
    return s.str();
}

// A value other than the default for every setting, each different from the others.
void SetEverything(TCustomComPort& p) {
    p.SetPort("ttyUSB3");
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(250000);
    p.SetStopBits(sbTwoStopBits);
    p.SetDataBits(dbSeven);
    p.SetEventChar('\n');
    p.SetDiscardNull(true);
    p.Parity().SetBits(prMark);
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    p.Buffer().SetInputSize(4096);
    p.Buffer().SetOutputSize(2048);
    p.Timeouts().SetReadInterval(5);
    p.Timeouts().SetReadTotalM(6);
    p.Timeouts().SetReadTotalC(7);
    p.Timeouts().SetWriteTotalM(8);
    p.Timeouts().SetWriteTotalC(9);
    auto& f = p.FlowControl();
    f.SetControlRTS(rtsToggle);
    f.SetControlDTR(dtrEnable);
    f.SetDSRSensitivity(true);
    f.SetOutDSRFlow(true);
    f.SetTxContinueOnXoff(true);
    f.SetXonXoffIn(true);
    f.SetXonChar('Q');
    f.SetXoffChar(' ');
}

std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const EComPort& e) {
        return std::to_string(e.ComCode()) + " " + std::to_string(e.SystemCode()) + " " + e.Message();
    }
    return "(nothing raised)";
}

class PersistenceTest : public test::RecordedPortTest {
protected:
    void SetUp() override {
        RecordedPortTest::SetUp();
        char pattern[] = "/tmp/portvale-persist-XXXXXX";
        dir = ::mkdtemp(pattern);
        ini = dir + "/comport.ini";
        reg::SetRegistryRoot(dir + "/config");
        port->SetName("ComPort1");
    }
    void TearDown() override {
        reg::SetRegistryRoot("");
        fs::remove_all(dir);
        RecordedPortTest::TearDown();
    }
    std::string Contents(const std::string& file) const {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void SetContents(const std::string& file, const std::string& text) const {
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
    std::unique_ptr<TComPort> NewPort(TStoredProps props) const {
        auto p = std::make_unique<TComPort>(nullptr);
        p->SetName("ComPort1");
        p->SetStoredProps(props);
        return p;
    }

    std::string dir;
    std::string ini;
};

TEST_F(PersistenceTest, ApplicationFileHoldsTheSevenLinesOfTheFormSettings) {
    port->Parity().SetBits(prOdd);
    port->StoreSettings(stIniFile, ini);
    EXPECT_EQ(Contents(ini),
              "[ComPort1]\nPort=COM1\nBaudRate=9600\nStopBits=1\nDataBits=8\nParity=Odd\nFlowControl=None\n");
}

TEST_F(PersistenceTest, StoreWritesTheSelectedGroupsInTableOrder) {
    const struct {
        const char* what;
        TStoredProps props;
        std::function<void(TCustomComPort&)> prepare;
        const char* file;  // null: no file at all
    } cases[] = {
        {"custom rate right after the rate", {spBasic},
         [](TCustomComPort& p) { p.SetBaudRate(brCustom); p.SetCustomBaudRate(-250000); },
         "[ComPort1]\nPort=COM1\nBaudRate=Custom\nCustomBaudRate=-250000\nStopBits=1\nDataBits=8\nParity=None\n"
         "FlowControl=None\n"},
        {"every group", kAllGroups, SetEverything,
         "[ComPort1]\nPort=ttyUSB3\nBaudRate=Custom\nCustomBaudRate=250000\nStopBits=2\nDataBits=7\nParity=Mark\n"
         "FlowControl=Custom\nEventChar=#10\nDiscardNull=Yes\nParity.Check=Yes\nParity.Replace=Yes\n"
         "Parity.ReplaceChar=?\nBuffer.OutputSize=2048\nBuffer.InputSize=4096\nTimeouts.ReadInterval=5\n"
         "Timeouts.ReadTotalConstant=7\nTimeouts.ReadTotalMultiplier=6\nTimeouts.WriteTotalConstant=9\n"
         "Timeouts.WriteTotalMultiplier=8\nFlowControl.ControlRTS=Toggle\nFlowControl.ControlDTR=Enable\n"
         "FlowControl.DSRSensitivity=Yes\nFlowControl.OutCTSFlow=No\nFlowControl.OutDSRFlow=Yes\n"
         "FlowControl.TxContinueOnXoff=Yes\nFlowControl.XonXoffIn=Yes\nFlowControl.XonXoffOut=No\n"
         "FlowControl.XoffChar=#32\nFlowControl.XonChar=Q\n"},
        {"no group", TStoredProps{}, SetEverything, nullptr},
    };
    for (const auto& c : cases) {
        fs::remove(ini);
        auto p = NewPort(c.props);
        c.prepare(*p);
        p->StoreSettings(stIniFile, ini);
        if (c.file)
            EXPECT_EQ(Contents(ini), c.file) << c.what;
        else
            EXPECT_FALSE(fs::exists(ini)) << c.what;
    }
}

TEST_F(PersistenceTest, EverySettingComesBackFromBothStores) {
    const struct {
        TStoreType type;
        std::string location;
    } stores[] = {{stIniFile, ini}, {stRegistry, "HKEY_CURRENT_USER\\Software\\Portvale"}};
    for (const auto& store : stores) {
        auto original = NewPort(kAllGroups);
        SetEverything(*original);
        original->StoreSettings(store.type, store.location);
        auto loaded = NewPort(kAllGroups);
        loaded->LoadSettings(store.type, store.location);
        EXPECT_EQ(Snapshot(*loaded), Snapshot(*original)) << store.location;
    }
}

TEST_F(PersistenceTest, LoadingKeepsWhatIsMissingAndConvertsWhatIsThere) {
    using Change = std::function<void(TCustomComPort&)>;
    const Change nothing = [](TCustomComPort&) {};
    const struct {
        const char* what;
        TStoredProps props;
        Change prepare;
        const char* file;  // null: no file
        Change expected;   // applied to a prepared port, gives the loaded one
    } cases[] = {
        {"only parity", {spBasic}, [](TCustomComPort& p) { p.SetBaudRate(br115200); p.SetPort("ttyACM0"); },
         "[ComPort1]\nParity=Even\n", [](TCustomComPort& p) { p.Parity().SetBits(prEven); }},
        {"custom rate without its key", {spBasic}, [](TCustomComPort& p) { p.SetCustomBaudRate(1234); },
         "[ComPort1]\nBaudRate=custom\n",
         [](TCustomComPort& p) { p.SetBaudRate(brCustom); p.SetCustomBaudRate(9600); }},
        {"custom rate key ignored for a standard rate", {spBasic}, nothing,
         "[ComPort1]\nBaudRate=57600\nCustomBaudRate=5\n", [](TCustomComPort& p) { p.SetBaudRate(br57600); }},
        {"hardware summary", {spBasic},
         [](TCustomComPort& p) { p.FlowControl().SetFlowControl(fcSoftware); p.FlowControl().SetControlDTR(dtrEnable); },
         "[ComPort1]\nFlowControl=Hardware\n", [](TCustomComPort& p) { p.FlowControl().SetFlowControl(fcHardware); }},
        {"custom summary keeps the fields", {spBasic},
         [](TCustomComPort& p) { p.FlowControl().SetControlRTS(rtsToggle); p.FlowControl().SetXonXoffIn(true); },
         "[ComPort1]\nFlowControl=Custom\n", nothing},
        {"fields win over the summary", {spBasic, spFlowControl}, nothing,
         "[ComPort1]\nFlowControl=Hardware\nFlowControl.OutCTSFlow=No\n",
         [](TCustomComPort& p) { p.FlowControl().SetFlowControl(fcHardware); p.FlowControl().SetOutCTSFlow(false); }},
        {"a missing field keeps its value", {spFlowControl},
         [](TCustomComPort& p) { p.FlowControl().SetOutDSRFlow(true); },
         "[ComPort1]\nFlowControl.ControlDTR=Enable\n",
         [](TCustomComPort& p) { p.FlowControl().SetControlDTR(dtrEnable); }},
        {"hexadecimal size made even, a bad one kept", {spBuffer},
         [](TCustomComPort& p) { p.Buffer().SetOutputSize(2048); },
         "[ComPort1]\nBuffer.InputSize=0x1001\nBuffer.OutputSize=lots\n",
         [](TCustomComPort& p) { p.Buffer().SetInputSize(4096); }},
        {"unknown texts give the fallbacks", {spBasic, spOthers},
         [](TCustomComPort& p) {
             p.SetBaudRate(br115200); p.SetStopBits(sbTwoStopBits); p.SetDataBits(dbSeven); p.Parity().SetBits(prOdd);
             p.SetDiscardNull(true);
         },
         "[ComPort1]\nBaudRate=fast\nStopBits=3\nDataBits=9\nParity=?\nDiscardNull=True\nEventChar=#x41\n",
         [](TCustomComPort& p) {
             p.SetBaudRate(br9600); p.SetStopBits(sbOneStopBit); p.SetDataBits(dbEight); p.Parity().SetBits(prNone);
             p.SetDiscardNull(false); p.SetEventChar('A');
         }},
        {"no file: only a custom rate falls back, as for a missing key", kAllGroups, SetEverything, nullptr,
         [](TCustomComPort& p) { p.SetCustomBaudRate(9600); }},
    };
    for (const auto& c : cases) {
        fs::remove(ini);
        if (c.file) SetContents(ini, c.file);
        auto expected = NewPort(c.props);
        c.prepare(*expected);
        c.expected(*expected);
        auto loaded = NewPort(c.props);
        c.prepare(*loaded);
        loaded->LoadSettings(stIniFile, ini);
        EXPECT_EQ(Snapshot(*loaded), Snapshot(*expected)) << c.what;
        EXPECT_EQ(loaded->UpdateDepth(), 0) << c.what;
    }
}

TEST_F(PersistenceTest, OpenPortIsReconfiguredOnceAndReopenedOnlyForANewName) {
    const struct {
        const char* file;
        const char* device;  // reopened under this name; null: not reopened
    } cases[] = {
        {"[ComPort1]\nPort=COM1\nBaudRate=57600\nParity=Even\n", nullptr},
        {"[ComPort1]\nPort=COM7\nBaudRate=57600\nParity=Even\n", "\\\\.\\COM7"},
    };
    for (const auto& c : cases) {
        port = NewPort({spBasic});
        port->SetEvents(TComEvents{});
        port->Open();
        api.ClearCalls();
        SetContents(ini, c.file);
        port->LoadSettings(stIniFile, ini);
        const auto names = api.CallNames();
        EXPECT_EQ(api.CountOf("SetCommState"), 1u) << c.file;
        EXPECT_EQ(api.CountOf("SetupComm"), 1u) << c.file;
        EXPECT_EQ(api.CountOf("SetCommTimeouts"), 1u) << c.file;
        const auto opens = api.CallsNamed("CreateFile");
        ASSERT_EQ(opens.size(), c.device ? 1u : 0u) << c.file;
        if (c.device) {
            EXPECT_EQ(opens[0].text, c.device);
            EXPECT_LT(std::find(names.begin(), names.end(), "CreateFile"),
                      std::find(names.begin(), names.end(), "SetCommState"));
        }
        const DCB dcb = api.CallsNamed("SetCommState").back().dcb;
        EXPECT_EQ(dcb.BaudRate, 57600u);
        EXPECT_EQ(dcb.Parity, EVENPARITY);
        port->Close();
    }
}

TEST_F(PersistenceTest, FailuresBecomeCodes16And17WithoutSystemCode) {
    const std::string store16 = "16 -1 Failed to store settings";
    const std::string load17 = "17 -1 Failed to load settings";
    EXPECT_EQ(ErrorOf([&] { port->StoreSettings(stIniFile, dir + "/missing/comport.ini"); }), store16);
    EXPECT_EQ(ErrorOf([&] { port->StoreSettings(stRegistry, "Software"); }), store16);
    EXPECT_EQ(ErrorOf([&] { port->StoreSettings(stRegistry, "HKEY_LOCAL_MACHINE\\HARDWARE"); }), store16);
    port->SetStoredProps(TStoredProps{});
    EXPECT_EQ(ErrorOf([&] { port->StoreSettings(stRegistry, "Software"); }), "(nothing raised)");

    // An empty key: the texts read empty and load, the first integer fails the load.
    port->SetStoredProps({spBasic, spBuffer});
    EXPECT_EQ(ErrorOf([&] { port->LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\Empty"); }), load17);
    EXPECT_EQ(port->Port(), "");
    EXPECT_EQ(port->UpdateDepth(), 0);
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("Software\\Mistyped\\ComPort1", true));
    registry.WriteString("BaudRate", "Custom");
    registry.WriteString("CustomBaudRate", "250000");
    port->SetStoredProps({spBasic});
    EXPECT_EQ(ErrorOf([&] { port->LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\Mistyped"); }), load17);
    EXPECT_EQ(port->BaudRate(), brCustom);
}

TEST_F(PersistenceTest, RegistryLocationNamesRootAndPathOfTheComponentsKey) {
    const struct {
        const char* location;
        reg::HKEY root;
        const char* key;
    } cases[] = {
        {"HKEY_CURRENT_USER\\Software\\Portvale", reg::HKEY_CURRENT_USER, "\\Software\\Portvale\\ComPort1"},
        {"hkey_local_machine\\Software\\Portvale\\", reg::HKEY_LOCAL_MACHINE, "\\Software\\Portvale\\ComPort1"},
        {"HKEY_USERS\\Other", reg::HKEY_CURRENT_USER, "\\Other\\ComPort1"},
        {"HKEY_CURRENT_USER\\", reg::HKEY_CURRENT_USER, "\\ComPort1"},
    };
    for (const auto& c : cases) {
        port->SetPort(c.location);  // tells the stores apart
        port->StoreSettings(stRegistry, c.location);
        TRegistry registry;
        registry.SetRootKey(c.root);
        ASSERT_TRUE(registry.OpenKeyReadOnly(c.key)) << c.location;
        EXPECT_EQ(registry.ReadString("Port"), c.location);
        EXPECT_EQ(registry.ReadString("FlowControl"), "None");
        EXPECT_FALSE(registry.ValueExists("CustomBaudRate"));
    }
}

}  // namespace
}  // namespace portvale
