#pragma once
// Qt peers of the control model. A peer mirrors one control into one widget (it reads
// the control's state whenever the control reports a change) and turns the widget's
// user input into that control's user-input calls. It keeps no state of the control
// apart from the model's; only what it needs to keep Qt's echo of a programmatic
// change from coming back as input, and to update a long pane cheaply.
//
// Lifetime: a peer attaches itself to its control when built and detaches when
// destroyed, so peers must go before their controls. A peer may outlive its widget
// (it then mirrors nothing). Widget signals are connected with the peer as context
// and the peer is the event filter, so nothing calls into a destroyed peer.
//
// Errors: every call from Qt into the model goes through Input, which hands whatever
// the handlers throw to the application's central handler; nothing reaches Qt.
//
// Threading: GUI thread only, like the controls.

#include <QLineEdit>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <utility>
#include <vector>

#include "framework/Application.h"
#include "framework/controls/Controls.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QToolButton;

namespace portvale {

// Mirrors what every control has: enabled and visible.
class ControlPeer : public QObject, public TControlPeer {
public:
    ~ControlPeer() override;

    TControl* Control() const { return control_; }
    QWidget* Widget() const { return widget_; }

    void Changed(TChange what) final;

protected:
    ControlPeer(TControl* control, QWidget* widget);
    // Kind-specific mirroring; the base has already handled Enabled and Visible.
    virtual void Mirror(TChange what) {}
    // Attaches to the control and shows its whole state; the last step of every
    // constructor, since a base constructor cannot reach the kind's Mirror.
    void Attach(std::initializer_list<TChange> state);

    template <typename F>
    void Input(F&& f) {
        Guarded(std::forward<F>(f));
    }

private:
    TControl* control_;
    QPointer<QWidget> widget_;
};

// A tool bar shows nothing of its own beyond what every control has; its buttons
// have peers of their own.
class ToolBarPeer : public ControlPeer {
public:
    ToolBarPeer(TToolBar* bar, QWidget* widget);
};

// The window's caption; on a dialog, a result set on the form closes it with that
// result.
class FormPeer : public ControlPeer {
public:
    FormPeer(TForm* form, QWidget* window);

protected:
    void Mirror(TChange what) override;

private:
    TForm* form_;
};

// How a panel's place relates to the model's: Qt's layout decides it alone; the
// panel goes where the model's layout puts it (inside a parent with no Qt layout);
// or Qt decides and tells the model, whose layout then places the panel's children.
enum class PanelSizing { Free, FollowsModel, ReportsSize };

class PanelPeer : public ControlPeer {
public:
    PanelPeer(TPanel* panel, QWidget* widget, PanelSizing sizing);
    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    void Mirror(TChange what) override;

private:
    void ReportSize();

    TPanel* panel_;
    PanelSizing sizing_;
    bool reportQueued_ = false;
};

class GroupBoxPeer : public ControlPeer {
public:
    GroupBoxPeer(TGroupBox* group, QGroupBox* widget);

protected:
    void Mirror(TChange what) override;

private:
    TGroupBox* group_;
};

class LabelPeer : public ControlPeer {
public:
    LabelPeer(TLabel* label, QLabel* widget);

protected:
    void Mirror(TChange what) override;

private:
    TLabel* label_;
};

// The default button takes Enter, as the button's Default says.
class ButtonPeer : public ControlPeer {
public:
    ButtonPeer(TButton* button, QPushButton* widget);

protected:
    void Mirror(TChange what) override;

private:
    TButton* button_;
};

// A list the user picks from, and types into when the control's style allows; the
// open list shows each item's label, the edit the control's text.
class ComboBoxPeer : public ControlPeer {
public:
    ComboBoxPeer(TComboBox* combo, QComboBox* widget);

protected:
    void Mirror(TChange what) override;

private:
    QComboBox* Combo() const;
    void RebuildItems();
    void ShowItemIndex();
    void Picked(int index);

    TComboBox* combo_;
};

// The pressed look belongs to the program: a click shows no toggle of its own.
class ToolButtonPeer : public ControlPeer {
public:
    ToolButtonPeer(TToolButton* button, QToolButton* widget, const TImageList* images);

protected:
    void Mirror(TChange what) override;

private:
    void Clicked();
    void ShowDown();

    TToolButton* button_;
    const TImageList* images_;
};

class CheckBoxPeer : public ControlPeer {
public:
    CheckBoxPeer(TCheckBox* box, QCheckBox* widget);

protected:
    void Mirror(TChange what) override;

private:
    TCheckBox* box_;
};

// The items become radio buttons inside the group box, in the control's columns,
// filled column by column.
class RadioGroupPeer : public ControlPeer {
public:
    RadioGroupPeer(TRadioGroup* group, QGroupBox* widget);

    QAbstractButton* Button(int index) const;

protected:
    void Mirror(TChange what) override;

private:
    void RebuildItems();
    void ShowItemIndex();
    void Picked(int index);

    TRadioGroup* group_;
    QButtonGroup* buttons_;
};

class EditPeer : public ControlPeer {
public:
    EditPeer(TEdit* edit, QLineEdit* widget);
    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    void Mirror(TChange what) override;

private:
    QLineEdit* LineEdit() const { return static_cast<QLineEdit*>(Widget()); }
    void ShowSelection();
    void ReportSelection();

    TEdit* edit_;
    bool mirroring_ = false;
    bool forwarding_ = false;
};

// Plain text, monospace, no wrapping. Programmatic text reaches the widget a moment
// later, so a burst of changes costs one update; an update that only adds lines in
// front, extends the top line and trims the old end edits just those places. The
// model's popup menu shows on a right click.
class RichEditPeer : public ControlPeer {
public:
    RichEditPeer(TRichEdit* edit, QPlainTextEdit* widget);
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Applies a pending programmatic change now.
    void Flush();
    // Shows the model's popup menu at a point of the pane and runs the chosen entry.
    void ShowMenu(const QPoint& at);

protected:
    void Mirror(TChange what) override;

private:
    QPlainTextEdit* Pane() const;
    void UserEdited();
    void ForgetPending();
    void Copy();

    TRichEdit* edit_;
    QTimer refresh_;
    int refreshMs_ = 25;
    // Added to the top line the widget shows, since the last update.
    std::string pendingTop_;
    // Lines added since the last update, oldest first, one after another, each
    // starting at an offset of pendingStarts_; the last may still grow.
    std::string pendingLines_;
    std::vector<std::size_t> pendingStarts_;
    std::size_t pendingChars_ = 0;
    // The whole text was replaced: the next update sets it rather than editing.
    bool wholeText_ = true;
    // The widget shows no line at all, not even an empty one.
    bool docEmpty_ = true;
    bool mirroring_ = false;
};

class StatusBarPeer : public ControlPeer {
public:
    StatusBarPeer(TStatusBar* bar, QStatusBar* widget);
    QLabel* Panel(int index) const;

protected:
    void Mirror(TChange what) override;

private:
    TStatusBar* bar_;
    std::vector<QPointer<QLabel>> panels_;
};

class ImagePeer : public ControlPeer {
public:
    ImagePeer(TImage* image, QLabel* widget);

protected:
    void Mirror(TChange what) override;

private:
    TImage* image_;
};

}  // namespace portvale
