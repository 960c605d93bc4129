#include "comport/ComPortControls.h"

#include "comport/ComPort.h"
#include "framework/StringList.h"
#include "framework/SysUtils.h"
#include "platform/registry/SerialDevices.h"

namespace portvale {

namespace {

// Every text of an enumeration, in ordinal order.
template <typename E>
std::vector<std::string> Texts(E last, std::string (*toStr)(E)) {
    std::vector<std::string> texts;
    for (int v = 0; v <= static_cast<int>(last); ++v) texts.push_back(toStr(static_cast<E>(v)));
    return texts;
}

// What a user sees for a port: the bare name says little on Linux ("ttyUSB0"), the
// device's own product string says which adapter it is.
std::string PortLabel(const std::string& name) {
    const std::string description = reg::SerialPortDescription(name);
    return description.empty() ? std::string() : name + " \xE2\x80\x94 " + description;
}

}  // namespace

// ---- TComSelect ----

void TComSelect::SetComProperty(TComProperty value) {
    comProperty_ = value;
    items_.Assign({}, {});
    switch (value) {
        case cpPort: SelectPort(); break;
        case cpBaudRate: SelectBaudRate(); break;
        case cpDataBits: SelectDataBits(); break;
        case cpStopBits: SelectStopBits(); break;
        case cpParity: SelectParity(); break;
        case cpFlowControl: SelectFlowControl(); break;
        case cpNone: break;
    }
}

void TComSelect::SelectPort() {
    TStringList ports;
    EnumComPorts(ports);
    std::vector<std::string> names, labels;
    for (int i = 0; i < ports.Count(); ++i) {
        names.push_back(ports[i]);
        labels.push_back(PortLabel(ports[i]));
    }
    items_.Assign(std::move(names), std::move(labels));
}

// Numbers only: a box the user can type into takes any other rate, and a "Custom"
// item would say nothing about which.
void TComSelect::SelectBaudRate() { items_.Assign(OfferedBaudRates(), {}); }
void TComSelect::SelectDataBits() { items_.Assign(Texts(dbEight, DataBitsToStr), {}); }
void TComSelect::SelectStopBits() { items_.Assign(Texts(sbTwoStopBits, StopBitsToStr), {}); }
void TComSelect::SelectParity() { items_.Assign(Texts(prSpace, ParityToStr), {}); }
void TComSelect::SelectFlowControl() { items_.Assign(Texts(fcCustom, FlowControlToStr), {}); }

void TComSelect::TakeText(const std::string& text) {
    switch (comProperty_) {
        case cpPort: PortValue = Trim(text); break;
        case cpBaudRate: TryTextToBaudRate(text, BaudRateValue, CustomBaudRateValue); break;
        case cpDataBits: DataBitsValue = StrToDataBits(text); break;
        case cpStopBits: StopBitsValue = StrToStopBits(text); break;
        case cpParity: ParityValue = StrToParity(text); break;
        case cpFlowControl: FlowControlValue = StrToFlowControl(text); break;
        case cpNone: break;
    }
}

void TComSelect::Change(const std::string& text) {
    TakeText(text);
    if (AutoApply) ApplySettings();
}

void TComSelect::ApplySettings() {
    if (!ComPort) return;
    switch (comProperty_) {
        case cpPort: ComPort->SetPort(PortValue); break;
        case cpBaudRate:
            if (BaudRateValue == brCustom) ComPort->SetCustomBaudRate(CustomBaudRateValue);
            ComPort->SetBaudRate(BaudRateValue);
            break;
        case cpDataBits: ComPort->SetDataBits(DataBitsValue); break;
        case cpStopBits: ComPort->SetStopBits(StopBitsValue); break;
        case cpParity: ComPort->Parity().SetBits(ParityValue); break;
        case cpFlowControl: ComPort->FlowControl().SetFlowControl(FlowControlValue); break;
        case cpNone: break;
    }
}

std::string TComSelect::PortText() const {
    if (!ComPort) return {};
    switch (comProperty_) {
        case cpPort: return ComPort->Port();
        case cpBaudRate: return BaudRateText(ComPort->BaudRate(), ComPort->CustomBaudRate());
        case cpDataBits: return DataBitsToStr(ComPort->DataBits());
        case cpStopBits: return StopBitsToStr(ComPort->StopBits());
        case cpParity: return ParityToStr(ComPort->Parity().Bits());
        case cpFlowControl: return FlowControlToStr(ComPort->FlowControl().FlowControl());
        case cpNone: break;
    }
    return {};
}

void TComSelect::UpdateSettings(int& itemIndex) {
    if (!ComPort || comProperty_ == cpNone) return;
    const std::string current = PortText();
    itemIndex = -1;
    for (int i = 0; i < items_.Count(); ++i) {
        if (SameText(items_.Item(i), current)) {
            itemIndex = i;
            break;
        }
    }
    if (comProperty_ == cpBaudRate) {
        // The port's own pair: a custom 9600 shows as the item "9600" but stays custom,
        // and an unlisted rate is still the one OK writes back.
        BaudRateValue = ComPort->BaudRate();
        CustomBaudRateValue = ComPort->CustomBaudRate();
        return;
    }
    // The item's own spelling: a port named 'com3' takes the listed 'COM3'.
    if (itemIndex >= 0) TakeText(items_.Item(itemIndex));
}

// ---- TComComboBox ----

TComComboBox::TComComboBox(TComponent* owner) : TComboBox(owner) { Style = TComboBoxStyle::csDropDownList; }

void TComComboBox::SetComPort(TCustomComPort* value) {
    if (value == select_.ComPort) return;
    if (select_.ComPort) RemoveFreeNotification(select_.ComPort);
    select_.ComPort = value;
    if (!value) return;
    FreeNotification(value);
    UpdateSettings();
}

void TComComboBox::SetComProperty(TComProperty value) {
    select_.SetComProperty(value);
    if (ItemCount() == 0) return;
    if (select_.ComPort)
        UpdateSettings();
    else
        SetItemIndex(0);
}

void TComComboBox::UpdateSettings() {
    int index = ItemIndex();
    select_.UpdateSettings(index);
    if (index < 0 && Editable() && ComPort() && ComProperty() != cpNone)
        SetText(select_.PortText());
    else
        SetItemIndex(index);
}

void TComComboBox::Change() {
    select_.Change(Text());
    TComboBox::Change();
}

void TComComboBox::Notification(TComponent* component, TOperation operation) {
    TComboBox::Notification(component, operation);
    if (operation != TOperation::opRemove || component != select_.ComPort) return;
    select_.ComPort = nullptr;
    if (ItemCount() > 0) SetItemIndex(0);
}

// ---- TComRadioGroup ----


void TComRadioGroup::SetComPort(TCustomComPort* value) {
    if (value == select_.ComPort) return;
    if (select_.ComPort) RemoveFreeNotification(select_.ComPort);
    select_.ComPort = value;
    if (!value) return;
    FreeNotification(value);
    UpdateSettings();
}

void TComRadioGroup::SetComProperty(TComProperty value) {
    select_.SetComProperty(value);
    if (Items().empty()) return;
    if (select_.ComPort)
        UpdateSettings();
    else
        SetItemIndex(0);
}

void TComRadioGroup::UpdateSettings() {
    int index = ItemIndex();
    select_.UpdateSettings(index);
    // Before the selection: the click it raises must not take the port's own value
    // back as a new choice, which AutoApply would write straight back to the port.
    lastIndex_ = index;
    SetItemIndex(index);
}

void TComRadioGroup::Click() {
    if (ItemIndex() != lastIndex_) {
        if (ItemIndex() >= 0) select_.Change(Items()[static_cast<std::size_t>(ItemIndex())]);
        lastIndex_ = ItemIndex();
    }
    TRadioGroup::Click();
}

void TComRadioGroup::Notification(TComponent* component, TOperation operation) {
    TRadioGroup::Notification(component, operation);
    if (operation != TOperation::opRemove || component != select_.ComPort) return;
    select_.ComPort = nullptr;
    if (Items().empty()) return;
    SetItemIndex(0);
    lastIndex_ = 0;
}

}  // namespace portvale
