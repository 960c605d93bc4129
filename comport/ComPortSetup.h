#pragma once
// The serial port's setup dialog: a form with one drop-down list per setting (port,
// baud rate, data bits, stop bits, parity, flow control), shown modally by
// EditComPort, which writes all six to the port on OK and nothing on Cancel.
//
// The lists never write to the port while the dialog is open (AutoApply stays
// false); the port list is read once, when the form is made.
//
// Threading: GUI thread only.

#include "comport/ComPortControls.h"
#include "framework/controls/Controls.h"

namespace portvale {

class TCustomComPort;

class TComSetupFrm : public TForm {
public:
    // Fills the six lists; the port list from the system's (EComPort when it
    // cannot be read, and no form is made).
    explicit TComSetupFrm(TComponent* owner);

    TGroupBox* GroupBox1;
    TLabel* Label1;
    TLabel* Label2;
    TLabel* Label3;
    TLabel* Label4;
    TLabel* Label5;
    TLabel* Label6;
    TComComboBox* Combo1;
    TComComboBox* Combo2;
    TComComboBox* Combo3;
    TComComboBox* Combo4;
    TComComboBox* Combo5;
    TComComboBox* Combo6;
    TButton* Button1;
    TButton* Button2;
};

// Runs the setup dialog for the port. On OK the port receives all six settings in
// one update (an open port is reconfigured once, at its end); an error raised while
// they are applied ends the update all the same and reaches the caller, as does one
// raised while the dialog is made. A port name the system does not list is offered
// among the listed ones, so OK keeps it.
void EditComPort(TCustomComPort* comPort);

}  // namespace portvale
