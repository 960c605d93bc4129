#include "comport/ComPortSetup.h"

#include <memory>

#include "comport/ComPort.h"
#include "framework/Application.h"
#include "framework/SysUtils.h"

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

void EditComPort(TCustomComPort* comPort) {
    auto form = std::make_unique<TComSetupFrm>(nullptr);
    TComComboBox* const lists[] = {form->Combo1, form->Combo2, form->Combo3,
                                   form->Combo4, form->Combo5, form->Combo6};
    if (comPort) KeepPortListed(*form->Combo1, comPort->Port());
    for (TComComboBox* list : lists) list->SetComPort(comPort);
    for (TComComboBox* list : lists) list->UpdateSettings();
    if (form->ShowModal() != mrOk || !comPort) return;

    comPort->BeginUpdate();
    try {
        for (TComComboBox* list : lists) list->ApplySettings();
    } catch (...) {
        // Left in update mode, the port would take no later setting to the device.
        try {
            comPort->EndUpdate();
        } catch (...) {
            // The apply's error says what went wrong; this one follows from it.
        }
        throw;
    }
    comPort->EndUpdate();
}

void TCustomComPort::ShowSetupDialog() { EditComPort(this); }

}  // namespace portvale
