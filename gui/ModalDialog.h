#pragma once
// A form of the control model shown as a modal Qt dialog: one widget per control,
// each joined to its control by the same peers the main window uses (gui/Peers.h),
// placed where the form places it.
//
// Units: the form's positions were laid out for a small dialog font; they are scaled
// by how much wider and taller the dialog's font is, so the design holds with any font.
// Qt's own device pixel ratio then scales the whole for the screen. Where Qt needs
// more room than the design gave (a group box draws its title above its frame, not
// on it), the control grows and what lies below it moves down by as much.
//
// Closing: a result set on the form (a button with a ModalResult) closes the dialog
// through the form's peer; Enter clicks the Default button; Escape clicks the Cancel
// button, and closing the window otherwise is a cancel.
//
// The dispatcher keeps running inside exec() (DispatcherBridge), so handlers may run
// while the dialog is open.
//
// Lifetime: the dialog and its peers live for one show; the form outlives them.

#include <QDialog>
#include <memory>
#include <vector>

#include "framework/controls/Controls.h"
#include "gui/Peers.h"

namespace portvale {

class ModalDialog : public QDialog {
public:
    ModalDialog(TForm& form, QWidget* parent);
    ~ModalDialog() override;

    // Shows the dialog until the form has a result, centred as the form asks, and
    // returns the result (mrNone when the loop ended for another reason).
    int Run();
    // The widget that shows control, if any.
    QWidget* WidgetOf(const TControl* control) const;
    // Escape, or the window closed: the form's cancel button decides.
    void reject() override;

private:
    // The form's controls, as widgets inside into, depth first in the form's order,
    // which is also the tab order; each moved down by dy and by what grew above it.
    // Returns how far the lowest of them ended up below its scaled design place.
    int BuildChildren(const TWinControl& parent, QWidget* into, int dy);
    // The control's widget at place; grew tells how much taller than place it got.
    QWidget* BuildControl(TControl* control, QWidget* into, QRect place, int& grew);
    QRect Scaled(const TControl& control) const;
    int ScaledX(int units) const;
    int ScaledY(int units) const;
    // A label stands on the line of the control it names.
    void AlignLabels();

    template <typename Peer, typename Control, typename Widget>
    Widget* Join(Control* control, Widget* widget);

    TForm& form_;
    double scaleX_;
    double scaleY_;
    std::vector<std::unique_ptr<ControlPeer>> peers_;
};

}  // namespace portvale
