#pragma once
// The control model: the forms and controls the application is written against, with
// no toolkit behind them. Each control owns its state and raises its events whether
// or not anything shows it, so the application runs and is tested without a window.
//
// Peers: a front end attaches one peer per control. The control tells its peer what
// changed (TChange); the peer reads the new state and mirrors it into its widget, and
// feeds the user's input back through the control's user-input methods (Click,
// UserSetText, KeyPress, UserSetItemIndex, SetBounds). A peer never holds state of
// its own that the control does not have.
//
// Modal forms: ShowModal hands the form to the application's interaction service,
// which shows it until the form's ModalResult is set (a button with a ModalResult
// was clicked, or the user closed the dialog) and returns that result. The front
// end keeps its loop, and with it the dispatcher, turning meanwhile.
//
// Threading: controls belong to the GUI thread; nothing here locks.
//
// Events follow the framework's rules: bound, empty by default, skipped when empty.
// A programmatic change raises the same event a user's change would only where the
// framework did so (a radio group's ItemIndex raises OnClick; a check box's Checked
// raises OnClick; an edit's text raises OnChange).

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "framework/BoundEvent.h"
#include "framework/Component.h"

namespace portvale {

class TWinControl;

// What a peer is told when its control's state changes.
enum class TChange {
    Caption,     // Caption of a button, label, group box, panel, form
    Text,        // whole text of an edit or a rich edit
    Selection,   // selection of an edit or a rich edit
    Down,        // pressed look of a tool button
    Checked,     // check box
    Items,       // item list of a radio group or a combo box
    ItemIndex,   // selected item of a radio group or a combo box
    Enabled,
    Visible,
    Bounds,      // size or position set by the program
    Picture,     // image control, image index of a tool button
    Panels,      // status bar panels (count, texts, widths)
    LineAdded,   // rich edit: a line was put in front of the text
    TopLineExtended,  // rich edit: text was added to the end of the top line
    Trimmed,     // rich edit: the oldest text was cut from the end
    CopyRequested,    // rich edit: put the selection on the clipboard
    ModalResult, // form: a result was set, which ends its modal show
    Hint,        // tool button: the tip shown on hovering, or its shortcut
};

class TControlPeer {
public:
    virtual ~TControlPeer() = default;
    virtual void Changed(TChange what) = 0;
};

enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner) : TComponent(owner) {}
    ~TControl() override;

    TWinControl* Parent() const { return parent_; }
    void SetParent(TWinControl* parent);

    // Not owned; the front end detaches (null) before either goes away.
    void SetPeer(TControlPeer* peer) { peer_ = peer; }
    TControlPeer* Peer() const { return peer_; }

    TAlign Align() const { return align_; }
    void SetAlign(TAlign value);
    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
    void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
    // From the program or from the front end's layout; a change of size raises
    // OnResize (containers first lay out their aligned children).
    void SetBounds(int left, int top, int width, int height);

    bool Visible() const { return visible_; }
    void SetVisible(bool value);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);

    TNotifyEvent OnResize;

protected:
    void Notify(TChange what) const {
        if (peer_) peer_->Changed(what);
    }
    virtual void Resized() { OnResize(this); }

private:
    TWinControl* parent_ = nullptr;
    TControlPeer* peer_ = nullptr;
    TAlign align_ = TAlign::alNone;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    bool visible_ = true;
    bool enabled_ = true;
};

// A control that holds others; aligned children are laid out top, bottom, left,
// right, then the client one, as the framework does.
class TWinControl : public TControl {
public:
    using TControl::TControl;
    ~TWinControl() override;

    int ControlCount() const { return static_cast<int>(controls_.size()); }
    TControl* Controls(int index) const { return controls_.at(static_cast<std::size_t>(index)); }
    // Lays out the aligned children in the current client area.
    void Realign();

protected:
    void Resized() override;

private:
    friend class TControl;
    std::vector<TControl*> controls_;
};

// A caption-carrying control base (labels, buttons, group boxes, panels).
class TCaptionedControl : public TWinControl {
public:
    using TWinControl::TWinControl;
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& value);

private:
    std::string caption_;
};

class TPanel : public TCaptionedControl {
public:
    using TCaptionedControl::TCaptionedControl;
};

class TGroupBox : public TCaptionedControl {
public:
    using TCaptionedControl::TCaptionedControl;
};

class TLabel : public TCaptionedControl {
public:
    using TCaptionedControl::TCaptionedControl;
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment value) { alignment_ = value; }
    // The control this label names (the edit it stands before), for the front end.
    TControl* FocusControl = nullptr;

private:
    TAlignment alignment_ = TAlignment::taLeftJustify;
};

class TButton : public TCaptionedControl {
public:
    using TCaptionedControl::TCaptionedControl;
    // A user's click, or the program's: hands ModalResult (when not mrNone) to the
    // form the button sits on, then raises OnClick, so a handler may still keep the
    // form open by setting the form's result back to mrNone.
    void Click();
    TNotifyEvent OnClick;
    // Enter anywhere in the form clicks the default button, Escape the cancel one;
    // the front end reads both when it builds the form.
    bool Default = false;
    bool Cancel = false;
    int ModalResult = 0;  // mrNone
};

class TCheckBox : public TCaptionedControl {
public:
    using TCaptionedControl::TCaptionedControl;
    bool Checked() const { return checked_; }
    // Raises OnClick when the state changes, whoever changed it.
    void SetChecked(bool value);
    // The user toggled the box.
    void Click() { SetChecked(!checked_); }
    TNotifyEvent OnClick;

private:
    bool checked_ = false;
};

// (Sender, Key): the handler may change the key; 0 swallows it.
using TKeyPressEvent = TBoundEvent<void(TObject* sender, char& key)>;

// A single-line edit. Text is UTF-8.
class TEdit : public TWinControl {
public:
    using TWinControl::TWinControl;
    const std::string& Text() const { return text_; }
    void SetText(const std::string& value);
    // The user's typing, reported by the front end after the widget changed; the
    // peer is not told back.
    void UserSetText(const std::string& value);
    // A key typed by the user, before it reaches the text. Returns the key to use
    // (0: swallowed).
    char KeyPress(char key);
    void SelectAll();
    // Selection in characters of the text (code points), as the front end counts.
    int SelStart() const { return selStart_; }
    int SelLength() const { return selLength_; }
    void SetSelection(int start, int length);
    void UserSetSelection(int start, int length);

    TNotifyEvent OnChange;
    TKeyPressEvent OnKeyPress;

private:
    std::string text_;
    int selStart_ = 0;
    int selLength_ = 0;
};

class TRadioGroup : public TCaptionedControl {
public:
    using TCaptionedControl::TCaptionedControl;
    const std::vector<std::string>& Items() const { return items_; }
    void SetItems(std::vector<std::string> items);
    int ItemIndex() const { return itemIndex_; }
    // Selecting another item (by the program or the user) raises OnClick, exactly as
    // a user's click does; selecting the current item raises nothing. An index out
    // of range selects nothing (-1).
    void SetItemIndex(int value);
    void UserSetItemIndex(int value) { SetItemIndex(value); }
    int Columns() const { return columns_; }
    void SetColumns(int value) { columns_ = value < 1 ? 1 : value; }
    TNotifyEvent OnClick;

protected:
    // The selection changed; raises OnClick. Controls built on a radio group take
    // the change here before the handler hears of it.
    virtual void Click() { OnClick(this); }

private:
    std::vector<std::string> items_;
    int itemIndex_ = -1;
    int columns_ = 1;
};

// csDropDownList: the user picks an item and can type nothing. csDropDown: the user
// may also type, and Text is then whatever stands in the box, listed or not (a device
// path the system does not list, a rate of the user's own).
enum class TComboBoxStyle { csDropDownList, csDropDown };

// A drop-down list. Each item is a text, which is what the program reads back
// (Text, Items), and may carry a label, which is what the user sees in its place in
// the list: the item "ttyUSB0" may show as "ttyUSB0 — FT232R USB UART". A box the
// user can type into shows the item's text itself once picked, since that is what
// the user edits and what Text gives.
class TComboBox : public TWinControl {
public:
    using TWinControl::TWinControl;
    TComboBoxStyle Style = TComboBoxStyle::csDropDownList;
    bool Editable() const { return Style == TComboBoxStyle::csDropDown; }

    const std::vector<std::string>& Items() const { return items_; }
    int ItemCount() const { return static_cast<int>(items_.size()); }
    // The label shown for the item: its own, else its text (EListError out of range).
    const std::string& ItemLabel(int index) const;
    // Replaces every item and selects none (typed text stays); labels[i], where
    // there is one and it is not empty, is shown for items[i].
    void SetItems(std::vector<std::string> items, std::vector<std::string> labels = {});
    // Puts an item at index (0 to ItemCount); the selected item stays selected.
    void InsertItem(int index, const std::string& text, const std::string& label = {});
    // The first item whose text equals text without regard to letter case, or -1.
    int IndexOf(const std::string& text) const;

    int ItemIndex() const { return itemIndex_; }
    // By the program: raises nothing. An index out of range selects nothing (-1),
    // which also empties the text of a box the user can type into.
    void SetItemIndex(int value);
    // The selected item's text, empty when nothing is selected; in a box the user
    // can type into, the text in the box.
    std::string Text() const;
    // Selects the item whose text equals value without regard to letter case;
    // nothing happens when there is none, unless the user can type into the box:
    // value then stands in it with no item selected. Raises nothing.
    void SetText(const std::string& value);
    // The user picked an item: selects it and, when the selection changed, Change.
    void UserSetItemIndex(int value);
    // The user's typing into an editable box, reported by the front end after the
    // widget changed (the peer is not told back): the item spelled exactly so is
    // selected, else none, and Change follows when the text changed.
    void UserSetText(const std::string& value);
    TNotifyEvent OnChange;

protected:
    // The user changed the selection or the typed text; raises OnChange.
    virtual void Change() { OnChange(this); }

private:
    std::vector<std::string> items_;
    std::vector<std::string> labels_;  // same length as items_; "" shows the text
    int itemIndex_ = -1;
    std::string typed_;                // the text of an editable box
};

enum class TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

// A multi-line log pane. Text is UTF-8; a CR, an LF or a CR LF each break a line.
//
// Received text is written in lines, the newest on top: AddLine starts a line above
// the rest, AppendToTopLine extends the newest one while it is open. Each costs the
// text added, not the line or the history, and the pane keeps at most Capacity bytes
// (the oldest, at the end, trimmed on a character boundary; the open top line is
// never cut). The peer is told LineAdded or TopLineExtended with the new text through
// LastAdded, and Trimmed with the number of characters cut from the end through
// LastTrimmedChars. Setting the whole text, by the program or the user, closes the
// top line: whatever comes next starts a line of its own.
class TPopupMenu;

class TRichEdit : public TWinControl {
public:
    using TWinControl::TWinControl;
    static constexpr std::size_t kDefaultCapacity = 1 << 20;

    // The whole text, newest line first, lines separated by LF; built on demand.
    const std::string& Text() const;
    void SetText(const std::string& value);
    void UserSetText(const std::string& value);
    void Clear() { SetText({}); }
    std::size_t Size() const { return size_; }

    // text must hold no line break.
    void AddLine(std::string text);
    // Puts lines in front in the order given, so the last one is on top (and open):
    // line i is text[starts[i], starts[i+1]). One notification for all of them.
    void AddLines(const std::string& text, const std::vector<std::size_t>& starts);
    // Starts a line when none is open.
    void AppendToTopLine(std::string text);
    bool TopLineOpen() const { return topOpen_; }
    // No text and no line, not even an empty one.
    bool Empty() const { return empty_; }
    // The text of the last change: what extended the top line, or the lines added,
    // one after another, each starting at an offset of LastAddedStarts.
    const std::string& LastAdded() const { return lastAdded_; }
    const std::vector<std::size_t>& LastAddedStarts() const { return lastStarts_; }
    std::size_t LastTrimmedChars() const { return lastTrimmedChars_; }

    std::size_t Capacity() const { return capacity_; }
    void SetCapacity(std::size_t bytes);

    // Asks the front end to put the selected text, or all of it when nothing is
    // selected, on the clipboard. Without a front end there is no clipboard.
    void CopyToClipboard() const { Notify(TChange::CopyRequested); }

    bool BoldFont = false;
    TScrollStyle ScrollBars = TScrollStyle::ssNone;
    bool ReadOnly = false;
    // Shown on the user's right click; not owned.
    TPopupMenu* PopupMenu = nullptr;
    TNotifyEvent OnChange;

private:
    // Older text in pieces that grow toward the front, so a line put in front costs
    // its own length and a stream of short lines no more memory than its text.
    struct Chunk {
        std::string buffer;
        std::size_t begin = 0;  // text is buffer[begin, end)
        std::size_t end = 0;
        std::size_t Size() const { return end - begin; }
    };
    void Replace(const std::string& value);
    void PushFront(const std::string& text);
    // Cuts the oldest text down to the capacity; the characters cut.
    std::size_t Trim();
    void TrimAndNotify();

    std::string top_;          // the first line; open or not, the text starts with it
    std::deque<Chunk> older_;  // the rest, newest first
    bool topOpen_ = false;
    bool empty_ = true;  // no text and no line, not even an empty one
    std::size_t size_ = 0;
    std::size_t capacity_ = kDefaultCapacity;
    std::size_t lastTrimmedChars_ = 0;
    mutable std::string text_;
    mutable bool textValid_ = true;
    std::string lastAdded_;
    std::vector<std::size_t> lastStarts_;
};

// A menu entry. With AutoCheck a click toggles Checked before OnClick runs.
class TMenuItem : public TComponent {
public:
    using TComponent::TComponent;
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& value) { caption_ = value; }
    bool Checked = false;
    bool AutoCheck = false;
    // The user chose the entry.
    void Click();
    TNotifyEvent OnClick;

private:
    std::string caption_;
};

// A context menu: its entries in order. Shown by the front end where the user asks
// for it; it has no peer of its own.
class TPopupMenu : public TComponent {
public:
    using TComponent::TComponent;
    // The entry is owned by the menu.
    TMenuItem* Add(const std::string& caption, TNotifyEvent onClick, bool autoCheck = false);
    const std::vector<TMenuItem*>& Items() const { return items_; }

private:
    std::vector<TMenuItem*> items_;
};

struct TStatusPanel {
    std::string Text;
    int Width = 50;
    TAlignment Alignment = TAlignment::taLeftJustify;
};

class TStatusBar : public TWinControl {
public:
    using TWinControl::TWinControl;
    int PanelCount() const { return static_cast<int>(panels_.size()); }
    const TStatusPanel& Panel(int index) const { return panels_.at(static_cast<std::size_t>(index)); }
    void AddPanel(TStatusPanel panel);
    void SetPanelText(int index, const std::string& text);

private:
    std::vector<TStatusPanel> panels_;
};

// An image list: images named by the front end's resources ("icons/3.svg"), all of
// one size.
class TImageList : public TComponent {
public:
    TImageList(TComponent* owner, int width, int height) : TComponent(owner), width_(width), height_(height) {}
    int Width() const { return width_; }
    int Height() const { return height_; }
    int Count() const { return static_cast<int>(images_.size()); }
    void Add(const std::string& resource) { images_.push_back(resource); }
    // EListError when out of range.
    const std::string& Image(int index) const;

private:
    int width_, height_;
    std::vector<std::string> images_;
};

// A picture held by value: empty, or one image of an image list.
class TBitmap {
public:
    bool Empty() const { return resource_.empty(); }
    const std::string& Resource() const { return resource_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    // Copies image index of the list (EListError when out of range).
    void LoadFrom(const TImageList& list, int index);
    bool operator==(const TBitmap&) const = default;

private:
    std::string resource_;
    int width_ = 0, height_ = 0;
};

class TImage : public TControl {
public:
    using TControl::TControl;
    const TBitmap& Picture() const { return picture_; }
    // Copies the bitmap into the control.
    void SetPicture(const TBitmap& bitmap);
    bool Transparent = false;

private:
    TBitmap picture_;
};

enum class TToolButtonStyle { tbsButton, tbsSeparator };

class TToolBar;

class TToolButton : public TCaptionedControl {
public:
    using TCaptionedControl::TCaptionedControl;
    TToolButtonStyle Style = TToolButtonStyle::tbsButton;
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int value);
    // The pressed look; only the program sets it, a click leaves it as it is.
    bool Down() const { return down_; }
    void SetDown(bool value);
    // What the button does, in a sentence shown while the pointer rests on it.
    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& value);
    // The key that clicks the button anywhere in its window, in the portable form
    // "Ctrl+S" (modifiers Ctrl, Shift, Alt, Meta joined by "+"); empty for none.
    const std::string& ShortCut() const { return shortCut_; }
    void SetShortCut(const std::string& value);
    void Click() { OnClick(this); }
    TNotifyEvent OnClick;

private:
    int imageIndex_ = -1;
    bool down_ = false;
    std::string hint_;
    std::string shortCut_;
};

class TToolBar : public TWinControl {
public:
    using TWinControl::TWinControl;
    TImageList* Images = nullptr;
    bool ShowCaptions = true;
};

enum class TPosition { poDesigned, poScreenCenter };
// A dialog border has a fixed size and no minimise or maximise buttons.
enum class TFormBorderStyle { bsSizeable, bsDialog };

// A form: the top-level control. Creation completes with Create (OnCreate); the
// front end calls Show when the window is first shown (OnShow). Its Width and
// Height are those of its client area: the frame belongs to the window system.
class TForm : public TCaptionedControl {
public:
    using TCaptionedControl::TCaptionedControl;
    TPosition Position = TPosition::poDesigned;
    TFormBorderStyle BorderStyle = TFormBorderStyle::bsSizeable;
    int ModalResult() const { return modalResult_; }
    // A result other than mrNone ends the form's modal show.
    void SetModalResult(int value);
    // Shows the form modally through the application's interaction service and
    // returns how it was closed (mrCancel when nothing showed it); ModalResult
    // holds the same afterwards. Raises an Exception while it is already shown so.
    int ShowModal();
    // Runs OnCreate; the form's constructor has built every control by then.
    void Create() { OnCreate(this); }
    // Runs OnShow, on every show as the framework does.
    void Show() {
        shown_ = true;
        OnShow(this);
    }
    bool Shown() const { return shown_; }
    TNotifyEvent OnCreate;
    TNotifyEvent OnShow;

private:
    bool shown_ = false;
    bool showingModal_ = false;
    int modalResult_ = 0;  // mrNone
};

// The form a control sits on, through its parents; null when there is none.
TForm* GetParentForm(const TControl* control);

}  // namespace portvale
