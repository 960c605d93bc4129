// Storing and loading the port's settings in an ini file or a registry key.
#include <cstdint>
#include <string>

#include "comport/ComPort.h"
#include "framework/IniFile.h"
#include "framework/Registry.h"
#include "framework/SysUtils.h"

namespace portvale {

namespace {

// One stored setting: its group, its key, and how it reads from and writes to the
// port, as text or as an integer.
struct StoredSetting {
    TStoredProp group;
    const char* key;
    std::string (*text)(const TCustomComPort&);
    void (*setText)(TCustomComPort&, const std::string&);
    std::int32_t (*number)(const TCustomComPort&);
    void (*setNumber)(TCustomComPort&, std::int32_t);
    bool IsInteger() const { return number != nullptr; }
};

using P = TCustomComPort;
using S = const std::string&;

// Groups in the order they are handled, keys in their order within each group.
// "CustomBaudRate" has a meaning only with the rate brCustom (see Applies).
const StoredSetting kSettings[] = {
    {spBasic, "Port", [](const P& p) { return p.Port(); }, [](P& p, S t) { p.SetPort(t); }, nullptr, nullptr},
    {spBasic, "BaudRate", [](const P& p) { return BaudRateToStr(p.BaudRate()); },
     [](P& p, S t) { p.SetBaudRate(StrToBaudRate(t)); }, nullptr, nullptr},
    {spBasic, "CustomBaudRate", nullptr, nullptr, [](const P& p) { return p.CustomBaudRate(); },
     [](P& p, std::int32_t v) { p.SetCustomBaudRate(v); }},
    {spBasic, "StopBits", [](const P& p) { return StopBitsToStr(p.StopBits()); },
     [](P& p, S t) { p.SetStopBits(StrToStopBits(t)); }, nullptr, nullptr},
    {spBasic, "DataBits", [](const P& p) { return DataBitsToStr(p.DataBits()); },
     [](P& p, S t) { p.SetDataBits(StrToDataBits(t)); }, nullptr, nullptr},
    {spBasic, "Parity", [](const P& p) { return ParityToStr(p.Parity().Bits()); },
     [](P& p, S t) { p.Parity().SetBits(StrToParity(t)); }, nullptr, nullptr},
    {spBasic, "FlowControl", [](const P& p) { return FlowControlToStr(p.FlowControl().FlowControl()); },
     [](P& p, S t) { p.FlowControl().SetFlowControl(StrToFlowControl(t)); }, nullptr, nullptr},

    {spOthers, "EventChar", [](const P& p) { return CharToSetting(p.EventChar()); },
     [](P& p, S t) { p.SetEventChar(SettingToChar(t)); }, nullptr, nullptr},
    {spOthers, "DiscardNull", [](const P& p) { return FlagToSetting(p.DiscardNull()); },
     [](P& p, S t) { p.SetDiscardNull(SettingToFlag(t)); }, nullptr, nullptr},

    {spParity, "Parity.Check", [](const P& p) { return FlagToSetting(p.Parity().Check()); },
     [](P& p, S t) { p.Parity().SetCheck(SettingToFlag(t)); }, nullptr, nullptr},
    {spParity, "Parity.Replace", [](const P& p) { return FlagToSetting(p.Parity().Replace()); },
     [](P& p, S t) { p.Parity().SetReplace(SettingToFlag(t)); }, nullptr, nullptr},
    {spParity, "Parity.ReplaceChar", [](const P& p) { return CharToSetting(p.Parity().ReplaceChar()); },
     [](P& p, S t) { p.Parity().SetReplaceChar(SettingToChar(t)); }, nullptr, nullptr},

    {spBuffer, "Buffer.OutputSize", nullptr, nullptr, [](const P& p) { return p.Buffer().OutputSize(); },
     [](P& p, std::int32_t v) { p.Buffer().SetOutputSize(v); }},
    {spBuffer, "Buffer.InputSize", nullptr, nullptr, [](const P& p) { return p.Buffer().InputSize(); },
     [](P& p, std::int32_t v) { p.Buffer().SetInputSize(v); }},

    {spTimeouts, "Timeouts.ReadInterval", nullptr, nullptr, [](const P& p) { return p.Timeouts().ReadInterval(); },
     [](P& p, std::int32_t v) { p.Timeouts().SetReadInterval(v); }},
    {spTimeouts, "Timeouts.ReadTotalConstant", nullptr, nullptr,
     [](const P& p) { return p.Timeouts().ReadTotalConstant(); },
     [](P& p, std::int32_t v) { p.Timeouts().SetReadTotalC(v); }},
    {spTimeouts, "Timeouts.ReadTotalMultiplier", nullptr, nullptr,
     [](const P& p) { return p.Timeouts().ReadTotalMultiplier(); },
     [](P& p, std::int32_t v) { p.Timeouts().SetReadTotalM(v); }},
    {spTimeouts, "Timeouts.WriteTotalConstant", nullptr, nullptr,
     [](const P& p) { return p.Timeouts().WriteTotalConstant(); },
     [](P& p, std::int32_t v) { p.Timeouts().SetWriteTotalC(v); }},
    {spTimeouts, "Timeouts.WriteTotalMultiplier", nullptr, nullptr,
     [](const P& p) { return p.Timeouts().WriteTotalMultiplier(); },
     [](P& p, std::int32_t v) { p.Timeouts().SetWriteTotalM(v); }},

    {spFlowControl, "FlowControl.ControlRTS", [](const P& p) { return RTSToSetting(p.FlowControl().ControlRTS()); },
     [](P& p, S t) { p.FlowControl().SetControlRTS(SettingToRTS(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.ControlDTR", [](const P& p) { return DTRToSetting(p.FlowControl().ControlDTR()); },
     [](P& p, S t) { p.FlowControl().SetControlDTR(SettingToDTR(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.DSRSensitivity",
     [](const P& p) { return FlagToSetting(p.FlowControl().DSRSensitivity()); },
     [](P& p, S t) { p.FlowControl().SetDSRSensitivity(SettingToFlag(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.OutCTSFlow", [](const P& p) { return FlagToSetting(p.FlowControl().OutCTSFlow()); },
     [](P& p, S t) { p.FlowControl().SetOutCTSFlow(SettingToFlag(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.OutDSRFlow", [](const P& p) { return FlagToSetting(p.FlowControl().OutDSRFlow()); },
     [](P& p, S t) { p.FlowControl().SetOutDSRFlow(SettingToFlag(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.TxContinueOnXoff",
     [](const P& p) { return FlagToSetting(p.FlowControl().TxContinueOnXoff()); },
     [](P& p, S t) { p.FlowControl().SetTxContinueOnXoff(SettingToFlag(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.XonXoffIn", [](const P& p) { return FlagToSetting(p.FlowControl().XonXoffIn()); },
     [](P& p, S t) { p.FlowControl().SetXonXoffIn(SettingToFlag(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.XonXoffOut", [](const P& p) { return FlagToSetting(p.FlowControl().XonXoffOut()); },
     [](P& p, S t) { p.FlowControl().SetXonXoffOut(SettingToFlag(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.XoffChar", [](const P& p) { return CharToSetting(p.FlowControl().XoffChar()); },
     [](P& p, S t) { p.FlowControl().SetXoffChar(SettingToChar(t)); }, nullptr, nullptr},
    {spFlowControl, "FlowControl.XonChar", [](const P& p) { return CharToSetting(p.FlowControl().XonChar()); },
     [](P& p, S t) { p.FlowControl().SetXonChar(SettingToChar(t)); }, nullptr, nullptr},
};

bool IsCustomRate(const StoredSetting& s) { return s.group == spBasic && s.IsInteger(); }

// Whether a setting takes part now. The custom rate is judged after the rate itself
// has been stored or loaded, which comes right before it.
bool Applies(const StoredSetting& s, const TCustomComPort& port) {
    if (!port.StoredProps().Contains(s.group)) return false;
    return !IsCustomRate(s) || port.BaudRate() == brCustom;
}

// Opens the key of a registry location "ROOT\path": path\<component name>. Without a
// backslash no key is opened, so the first write or integer read fails. An empty
// path puts the component's key right under the root.
void OpenSettingsKey(TRegistry& registry, const std::string& location, const std::string& name) {
    const auto slash = location.find('\\');
    if (slash == std::string::npos) return;
    const std::string root = location.substr(0, slash);
    if (SameText(root, "HKEY_LOCAL_MACHINE"))
        registry.SetRootKey(reg::HKEY_LOCAL_MACHINE);
    else if (SameText(root, "HKEY_CURRENT_USER"))
        registry.SetRootKey(reg::HKEY_CURRENT_USER);
    std::string path = location.substr(slash + 1);
    if (path.empty() || path.back() != '\\') path += '\\';
    // A key that cannot be opened shows as the failure of the first write or read.
    (void)registry.OpenKey(path + name, true);
}

}  // namespace

void TCustomComPort::StoreSettings(TStoreType storeType, const std::string& location) {
    try {
        if (storeType == stIniFile) {
            TIniFile iniFile(location);
            StoreIniFile(iniFile);
        } else {
            TRegistry registry;
            OpenSettingsKey(registry, location, Name());
            StoreRegistry(registry);
        }
    } catch (...) {
        throw EComPort(CError_StoreFailed);
    }
}

void TCustomComPort::LoadSettings(TStoreType storeType, const std::string& location) {
    BeginUpdate();
    bool failed = false;
    try {
        if (storeType == stIniFile) {
            TIniFile iniFile(location);
            LoadIniFile(iniFile);
        } else {
            TRegistry registry;
            OpenSettingsKey(registry, location, Name());
            LoadRegistry(registry);
        }
    } catch (...) {
        failed = true;
    }
    // A failed load still ends the batch, or later setting changes would never reach
    // the device; what was loaded before the failure goes to it here.
    try {
        EndUpdate();
    } catch (...) {
        failed = true;
    }
    if (failed) throw EComPort(CError_LoadFailed);
}

void TCustomComPort::StoreIniFile(TIniFile& iniFile) {
    for (const auto& s : kSettings) {
        if (!Applies(s, *this)) continue;
        if (s.IsInteger())
            iniFile.WriteInteger(Name(), s.key, s.number(*this));
        else
            iniFile.WriteString(Name(), s.key, s.text(*this));
    }
}

void TCustomComPort::LoadIniFile(TIniFile& iniFile) {
    for (const auto& s : kSettings) {
        if (!Applies(s, *this)) continue;
        // A missing key keeps the current value, except the custom rate, which falls
        // back to 9600 like a new port's.
        if (s.IsInteger())
            s.setNumber(*this, iniFile.ReadInteger(Name(), s.key, IsCustomRate(s) ? 9600 : s.number(*this)));
        else
            s.setText(*this, iniFile.ReadString(Name(), s.key, s.text(*this)));
    }
}

void TCustomComPort::StoreRegistry(TRegistry& registry) {
    for (const auto& s : kSettings) {
        if (!Applies(s, *this)) continue;
        if (s.IsInteger())
            registry.WriteInteger(s.key, s.number(*this));
        else
            registry.WriteString(s.key, s.text(*this));
    }
}

void TCustomComPort::LoadRegistry(TRegistry& registry) {
    for (const auto& s : kSettings) {
        if (!Applies(s, *this)) continue;
        if (s.IsInteger())
            s.setNumber(*this, registry.ReadInteger(s.key));
        else
            s.setText(*this, registry.ReadString(s.key));
    }
}

}  // namespace portvale
