#include "comport/ComPortSetup.h"

#include <memory>

#include "comport/ComPort.h"
#include "comport/ComSettings.h"
#include "framework/Application.h"
#include "framework/SysUtils.h"
#include "platform/serial/SerialApi.h"

namespace portvale {

namespace {

template <typename T>
T* Place(TComSetupFrm* form, TWinControl* parent, const char* name, int left, int top, int width, int height) {
    T* control = new T(form);
    control->SetName(name);
    control->SetParent(parent);
    control->SetBounds(left, top, width, height);
    return control;
}

// A port the system does not list (unplugged, or named by hand) would select nothing,
// and OK would then hand the port an empty name. It joins the list where the sorted
// listing would have put it.
void KeepPortListed(TComboBox& ports, const std::string& name) {
    if (name.empty() || ports.IndexOf(name) >= 0) return;
    int at = 0;
    while (at < ports.ItemCount() && CompareText(ports.Items()[static_cast<std::size_t>(at)], name) < 0) ++at;
    ports.InsertItem(at, name);
}

}  // namespace

TComSetupFrm::TComSetupFrm(TComponent* owner) : TForm(owner) {
    SetName("ComSetupFrm");
    SetCaption("Setup");
    BorderStyle = TFormBorderStyle::bsDialog;
    Position = TPosition::poScreenCenter;
    SetBounds(0, 0, 231, 216);

    // Children are made in tab order: the lists top to bottom, then OK, then Cancel.
    GroupBox1 = Place<TGroupBox>(this, this, "GroupBox1", 8, 8, 217, 169);
    GroupBox1->SetCaption(" Settings ");
    struct Row {
        TLabel*& label;
        const char* labelName;
        const char* caption;
        TComComboBox*& combo;
        const char* comboName;
        TComProperty property;
    };
    const Row rows[] = {
        {Label1, "Label1", "Port", Combo1, "Combo1", cpPort},
        {Label2, "Label2", "Baud rate", Combo2, "Combo2", cpBaudRate},
        {Label3, "Label3", "Data bits", Combo3, "Combo3", cpDataBits},
        {Label4, "Label4", "Stop bits", Combo4, "Combo4", cpStopBits},
        {Label5, "Label5", "Parity", Combo5, "Combo5", cpParity},
        {Label6, "Label6", "Flow control", Combo6, "Combo6", cpFlowControl},
    };
    int top = 16;
    for (const Row& row : rows) {
        row.label = Place<TLabel>(this, GroupBox1, row.labelName, 8, top + 8, 64, 13);
        row.label->SetCaption(row.caption);
        row.combo = Place<TComComboBox>(this, GroupBox1, row.comboName, 80, top, 129, 21);
        // A pty, a by-id name or a device the system does not list is typed; so is a
        // rate of the user's own.
        if (row.property == cpPort || row.property == cpBaudRate) row.combo->Style = TComboBoxStyle::csDropDown;
        row.label->FocusControl = row.combo;
        top += 24;
    }
    Button1 = Place<TButton>(this, this, "Button1", 70, 184, 75, 25);
    Button1->SetCaption("OK");
    Button1->Default = true;
    Button1->ModalResult = mrOk;
    Button2 = Place<TButton>(this, this, "Button2", 150, 184, 75, 25);
    Button2->SetCaption("Cancel");
    Button2->Cancel = true;
    Button2->ModalResult = mrCancel;

    // Last: the port list may fail, and the form is then never handed out.
    for (const Row& row : rows) row.combo->SetComProperty(row.property);
}

namespace {

// Every setting the dialog writes, as the port had it before OK.
class SavedSettings {
public:
    explicit SavedSettings(const TCustomComPort& port)
        : port_(port.Port()), rate_(port.BaudRate()), customRate_(port.CustomBaudRate()),
          dataBits_(port.DataBits()), stopBits_(port.StopBits()) {
        parity_.Assign(port.Parity());
        flow_.Assign(port.FlowControl());
    }

    // In one update, so an open device is set once, to what it ran with.
    void Restore(TCustomComPort& port) const {
        port.BeginUpdate();
        try {
            port.SetPort(port_);
            port.SetCustomBaudRate(customRate_);
            port.SetBaudRate(rate_);
            port.SetDataBits(dataBits_);
            port.SetStopBits(stopBits_);
            port.SetParity(parity_);
            port.SetFlowControl(flow_);
        } catch (...) {
            port.EndUpdate();
            throw;
        }
        port.EndUpdate();
    }

private:
    std::string port_;
    TBaudRate rate_;
    std::int32_t customRate_;
    TDataBits dataBits_;
    TStopBits stopBits_;
    TComParity parity_;
    TComFlowControl flow_;
};

// What the user typed that no port could take, as the sentence that says so; empty
// when the texts are usable.
std::string RefusalOfTypedTexts(const TComSetupFrm& form) {
    if (Trim(form.Combo1->Text()).empty()) return "Choose a port from the list or type its device name.";
    TBaudRate rate;
    std::int32_t custom;
    if (!TryTextToBaudRate(form.Combo2->Text(), rate, custom))
        return "\"" + form.Combo2->Text() + "\" is not a baud rate. Choose one from the list or type a number "
               "of bits per second, such as 250000.";
    return {};
}

void ApplyAll(TCustomComPort& port, TComComboBox* const (&lists)[6]) {
    ApplyInOneUpdate(port, [&] {
        for (TComComboBox* list : lists) list->ApplySettings();
    });
}

}  // namespace

void EditComPort(TCustomComPort* comPort) {
    auto form = std::make_unique<TComSetupFrm>(nullptr);
    TComComboBox* const lists[] = {form->Combo1, form->Combo2, form->Combo3,
                                   form->Combo4, form->Combo5, form->Combo6};
    if (comPort) KeepPortListed(*form->Combo1, comPort->Port());
    for (TComComboBox* list : lists) list->SetComPort(comPort);
    for (TComComboBox* list : lists) list->UpdateSettings();
    if (form->ShowModal() != mrOk || !comPort) return;

    if (const std::string refusal = RefusalOfTypedTexts(*form); !refusal.empty()) {
        Application().MessageBox(refusal, Application().Title, MB_OK | MB_ICONWARNING);
        return;
    }
    const SavedSettings before(*comPort);
    try {
        ApplyAll(*comPort, lists);
    } catch (const EComPort& e) {
        // Only an open port meets its driver, which alone knows which rates its clock
        // can make. A refused rate is the user's choice gone wrong, not a lost port:
        // the port goes back to what it ran with and the user is told which rate.
        if (e.ComCode() != CError_SetStateFailed ||
            static_cast<std::uint32_t>(e.SystemCode()) != ERROR_RATE_NOT_SUPPORTED)
            throw;
        const std::uint32_t refused = BaudRateToDevice(comPort->BaudRate(), comPort->CustomBaudRate());
        before.Restore(*comPort);
        Application().MessageBox(Format("The device on %s cannot run at %u baud. The settings were left as "
                                        "they were.",
                                        comPort->Port().c_str(), refused),
                                 Application().Title, MB_OK | MB_ICONWARNING);
    }
}

void TCustomComPort::ShowSetupDialog() { EditComPort(this); }

}  // namespace portvale
