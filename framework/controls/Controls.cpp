#include "framework/controls/Controls.h"

#include <algorithm>

#include "framework/Application.h"
#include "framework/Exceptions.h"
#include "framework/SysUtils.h"

namespace portvale {

TControl::~TControl() { SetParent(nullptr); }

void TControl::SetParent(TWinControl* parent) {
    if (parent == parent_) return;
    if (parent_) {
        auto& list = parent_->controls_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    parent_ = parent;
    if (parent_) {
        parent_->controls_.push_back(this);
        if (align_ != TAlign::alNone) parent_->Realign();
    }
}

void TControl::SetAlign(TAlign value) {
    if (value == align_) return;
    align_ = value;
    if (parent_) parent_->Realign();
}

void TControl::SetBounds(int left, int top, int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (left == left_ && top == top_ && width == width_ && height == height_) return;
    const bool resized = width != width_ || height != height_;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    Notify(TChange::Bounds);
    // A top or bottom child that changes its height moves its siblings.
    if (resized && parent_ && align_ != TAlign::alNone && align_ != TAlign::alClient) parent_->Realign();
    if (resized) Resized();
}

void TControl::SetVisible(bool value) {
    if (value == visible_) return;
    visible_ = value;
    Notify(TChange::Visible);
    if (parent_ && align_ != TAlign::alNone) parent_->Realign();
}

void TControl::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    Notify(TChange::Enabled);
}

TWinControl::~TWinControl() {
    // Children owned elsewhere must not point back at a parent that is gone.
    while (!controls_.empty()) controls_.back()->SetParent(nullptr);
}

void TWinControl::Resized() {
    Realign();
    TControl::Resized();
}

void TWinControl::Realign() {
    int top = 0, bottom = Height(), left = 0, right = Width();
    // Guards against a child's resize handler re-entering the layout of its parent.
    static thread_local int depth = 0;
    if (depth > 8) return;
    ++depth;
    auto place = [&](TAlign align) {
        for (TControl* c : controls_) {
            if (c->Align() != align || !c->Visible()) continue;
            switch (align) {
                case TAlign::alTop:
                    c->SetBounds(left, top, right - left, c->Height());
                    top += c->Height();
                    break;
                case TAlign::alBottom:
                    bottom -= c->Height();
                    c->SetBounds(left, bottom, right - left, c->Height());
                    break;
                case TAlign::alLeft:
                    c->SetBounds(left, top, c->Width(), bottom - top);
                    left += c->Width();
                    break;
                case TAlign::alRight:
                    right -= c->Width();
                    c->SetBounds(right, top, c->Width(), bottom - top);
                    break;
                case TAlign::alClient:
                    c->SetBounds(left, top, right - left, bottom - top);
                    break;
                case TAlign::alNone: break;
            }
        }
    };
    for (TAlign a : {TAlign::alTop, TAlign::alBottom, TAlign::alLeft, TAlign::alRight, TAlign::alClient})
        place(a);
    --depth;
}

void TCaptionedControl::SetCaption(const std::string& value) {
    if (value == caption_) return;
    caption_ = value;
    Notify(TChange::Caption);
}

void TButton::Click() {
    if (ModalResult != mrNone)
        if (TForm* form = GetParentForm(this)) form->SetModalResult(ModalResult);
    OnClick(this);
}

void TCheckBox::SetChecked(bool value) {
    if (value == checked_) return;
    checked_ = value;
    Notify(TChange::Checked);
    OnClick(this);
}

void TEdit::SetText(const std::string& value) {
    if (value == text_) return;
    text_ = value;
    selStart_ = selLength_ = 0;
    Notify(TChange::Text);
    OnChange(this);
}

void TEdit::UserSetText(const std::string& value) {
    if (value == text_) return;
    text_ = value;
    OnChange(this);
}

char TEdit::KeyPress(char key) {
    OnKeyPress(this, key);
    return key;
}

namespace {
int CodePoints(const std::string& text) {
    return static_cast<int>(std::count_if(text.begin(), text.end(),
                                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}
}  // namespace

void TEdit::SelectAll() { SetSelection(0, CodePoints(text_)); }

void TEdit::SetSelection(int start, int length) {
    const int size = CodePoints(text_);
    start = std::clamp(start, 0, size);
    length = std::clamp(length, 0, size - start);
    if (start == selStart_ && length == selLength_) return;
    selStart_ = start;
    selLength_ = length;
    Notify(TChange::Selection);
}

void TEdit::UserSetSelection(int start, int length) {
    selStart_ = start;
    selLength_ = length;
}

void TRadioGroup::SetItems(std::vector<std::string> items) {
    items_ = std::move(items);
    if (itemIndex_ >= static_cast<int>(items_.size())) itemIndex_ = -1;
    Notify(TChange::Items);
}

void TRadioGroup::SetItemIndex(int value) {
    if (value < -1 || value >= static_cast<int>(items_.size())) value = -1;
    if (value == itemIndex_) return;
    itemIndex_ = value;
    Notify(TChange::ItemIndex);
    Click();
}

const std::string& TComboBox::ItemLabel(int index) const {
    if (index < 0 || index >= ItemCount()) throw EListError(index);
    const auto i = static_cast<std::size_t>(index);
    return labels_[i].empty() ? items_[i] : labels_[i];
}

void TComboBox::SetItems(std::vector<std::string> items, std::vector<std::string> labels) {
    labels.resize(items.size());
    items_ = std::move(items);
    labels_ = std::move(labels);
    itemIndex_ = -1;
    Notify(TChange::Items);
}

void TComboBox::InsertItem(int index, const std::string& text, const std::string& label) {
    if (index < 0 || index > ItemCount()) throw EListError(index);
    items_.insert(items_.begin() + index, text);
    labels_.insert(labels_.begin() + index, label);
    if (itemIndex_ >= index) ++itemIndex_;
    Notify(TChange::Items);
}

int TComboBox::IndexOf(const std::string& text) const {
    for (int i = 0; i < ItemCount(); ++i)
        if (SameText(items_[static_cast<std::size_t>(i)], text)) return i;
    return -1;
}

void TComboBox::SetItemIndex(int value) {
    if (value < -1 || value >= ItemCount()) value = -1;
    if (value == itemIndex_) return;
    itemIndex_ = value;
    if (Editable()) typed_ = value < 0 ? std::string() : items_[static_cast<std::size_t>(value)];
    Notify(TChange::ItemIndex);
}

std::string TComboBox::Text() const {
    if (Editable()) return typed_;
    return itemIndex_ < 0 ? std::string() : items_[static_cast<std::size_t>(itemIndex_)];
}

void TComboBox::SetText(const std::string& value) {
    const int index = IndexOf(value);
    if (!Editable()) {
        if (index >= 0) SetItemIndex(index);
        return;
    }
    // A listed item keeps its own spelling, as in a box the user cannot type into.
    const std::string text = index >= 0 ? items_[static_cast<std::size_t>(index)] : value;
    if (text == typed_ && index == itemIndex_) return;
    typed_ = text;
    itemIndex_ = index;
    Notify(TChange::Text);
}

void TComboBox::UserSetItemIndex(int value) {
    if (value < -1 || value >= ItemCount()) value = -1;
    const std::string before = Text();
    if (value == itemIndex_ && (!Editable() || value < 0 || before == items_[static_cast<std::size_t>(value)]))
        return;
    itemIndex_ = value;
    if (Editable() && value >= 0) typed_ = items_[static_cast<std::size_t>(value)];
    Change();
}

void TComboBox::UserSetText(const std::string& value) {
    if (!Editable() || value == typed_) return;
    typed_ = value;
    // Exactly: on Linux "ttyusb0" is not the device "ttyUSB0".
    itemIndex_ = static_cast<int>(std::find(items_.begin(), items_.end(), value) - items_.begin());
    if (itemIndex_ == ItemCount()) itemIndex_ = -1;
    Change();
}

namespace {
bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}  // namespace

const std::string& TRichEdit::Text() const {
    if (!textValid_) {
        text_.clear();
        text_.reserve(size_);
        text_ += top_;
        for (const Chunk& chunk : older_) text_.append(chunk.buffer, chunk.begin, chunk.Size());
        textValid_ = true;
    }
    return text_;
}

void TRichEdit::Replace(const std::string& value) {
    top_.clear();
    topOpen_ = false;
    empty_ = value.empty();
    older_.clear();
    size_ = 0;
    if (!value.empty()) {
        older_.push_back(Chunk{value, 0, value.size()});
        size_ = value.size();
    }
    text_ = value;
    textValid_ = true;
    Trim();
}

void TRichEdit::SetText(const std::string& value) {
    if (value == Text()) {
        // Unchanged, but what comes next still starts a line of its own.
        topOpen_ = false;
        return;
    }
    Replace(value);
    Notify(TChange::Text);
    OnChange(this);
}

void TRichEdit::UserSetText(const std::string& value) {
    if (value == Text()) return;
    Replace(value);
    OnChange(this);
}

void TRichEdit::PushFront(const std::string& text) {
    if (text.empty()) return;
    constexpr std::size_t kChunk = 4096;
    if (older_.empty() || older_.front().begin < text.size()) {
        const std::size_t room = std::max(kChunk, text.size());
        older_.push_front(Chunk{std::string(room, '\0'), room, room});
    }
    Chunk& front = older_.front();
    front.begin -= text.size();
    front.buffer.replace(front.begin, text.size(), text);
}

void TRichEdit::AddLine(std::string text) { AddLines(text, {0}); }

void TRichEdit::AddLines(const std::string& text, const std::vector<std::size_t>& starts) {
    if (starts.empty()) return;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        // What was on top, closed or not, goes below the new line with a break between.
        if (!empty_) {
            PushFront(top_);
            PushFront("\n");
            ++size_;
        }
        top_.assign(text, starts[i], end - starts[i]);
        size_ += top_.size();
        empty_ = false;
    }
    topOpen_ = true;
    lastAdded_ = text;
    lastStarts_ = starts;
    textValid_ = false;
    Notify(TChange::LineAdded);
    TrimAndNotify();
    OnChange(this);
}

void TRichEdit::AppendToTopLine(std::string text) {
    if (!topOpen_) {
        AddLine(std::move(text));
        return;
    }
    if (text.empty()) return;
    size_ += text.size();
    top_ += text;
    lastAdded_ = std::move(text);
    lastStarts_.assign(1, 0);
    textValid_ = false;
    Notify(TChange::TopLineExtended);
    TrimAndNotify();
    OnChange(this);
}

void TRichEdit::SetCapacity(std::size_t bytes) {
    capacity_ = bytes;
    TrimAndNotify();
}

void TRichEdit::TrimAndNotify() {
    lastTrimmedChars_ = Trim();
    if (lastTrimmedChars_ > 0) Notify(TChange::Trimmed);
}

std::size_t TRichEdit::Trim() {
    std::size_t chars = 0;
    auto countChars = [](const char* from, const char* to) {
        return static_cast<std::size_t>(std::count_if(from, to, [](char c) { return !IsContinuationByte(c); }));
    };
    while (size_ > capacity_ && !older_.empty()) {
        Chunk& oldest = older_.back();
        const char* text = oldest.buffer.data() + oldest.begin;
        const std::size_t excess = size_ - capacity_;
        if (excess >= oldest.Size()) {
            chars += countChars(text, text + oldest.Size());
            size_ -= oldest.Size();
            older_.pop_back();
            continue;
        }
        // Cut on a character boundary, so the pane never shows half a character.
        std::size_t keep = oldest.Size() - excess;
        while (keep > 0 && IsContinuationByte(text[keep])) --keep;
        chars += countChars(text + keep, text + oldest.Size());
        size_ -= oldest.Size() - keep;
        oldest.end = oldest.begin + keep;
        if (keep == 0) older_.pop_back();
    }
    if (chars > 0) textValid_ = false;
    return chars;
}

void TMenuItem::Click() {
    if (AutoCheck) Checked = !Checked;
    OnClick(this);
}

TMenuItem* TPopupMenu::Add(const std::string& caption, TNotifyEvent onClick, bool autoCheck) {
    auto* item = new TMenuItem(this);
    item->SetCaption(caption);
    item->OnClick = std::move(onClick);
    item->AutoCheck = autoCheck;
    items_.push_back(item);
    return item;
}

void TStatusBar::AddPanel(TStatusPanel panel) {
    panels_.push_back(std::move(panel));
    Notify(TChange::Panels);
}

void TStatusBar::SetPanelText(int index, const std::string& text) {
    if (index < 0 || index >= PanelCount()) throw EListError(index);
    auto& panel = panels_[static_cast<std::size_t>(index)];
    if (panel.Text == text) return;
    panel.Text = text;
    Notify(TChange::Panels);
}

const std::string& TImageList::Image(int index) const {
    if (index < 0 || index >= Count()) throw EListError(index);
    return images_[static_cast<std::size_t>(index)];
}

void TBitmap::LoadFrom(const TImageList& list, int index) {
    resource_ = list.Image(index);
    width_ = list.Width();
    height_ = list.Height();
}

void TImage::SetPicture(const TBitmap& bitmap) {
    if (bitmap == picture_) return;
    picture_ = bitmap;
    Notify(TChange::Picture);
}

void TToolButton::SetImageIndex(int value) {
    if (value == imageIndex_) return;
    imageIndex_ = value;
    Notify(TChange::Picture);
}

void TForm::SetModalResult(int value) {
    if (value == modalResult_) return;
    modalResult_ = value;
    Notify(TChange::ModalResult);
}

int TForm::ShowModal() {
    // A handler run from inside the dialog's loop may ask again.
    if (showingModal_) throw Exception("Cannot make a visible window modal");
    showingModal_ = true;
    modalResult_ = mrNone;
    int result = mrCancel;
    try {
        if (IInteraction* interaction = Application().Interaction()) result = interaction->ShowModal(*this);
    } catch (...) {
        showingModal_ = false;
        throw;
    }
    showingModal_ = false;
    // Closed without a result (the window closed some other way): a cancel.
    if (result == mrNone) result = mrCancel;
    modalResult_ = result;
    return result;
}

TForm* GetParentForm(const TControl* control) {
    for (TWinControl* parent = control ? control->Parent() : nullptr; parent; parent = parent->Parent())
        if (auto* form = dynamic_cast<TForm*>(parent)) return form;
    return nullptr;
}

void TToolButton::SetHint(const std::string& value) {
    if (value == hint_) return;
    hint_ = value;
    Notify(TChange::Hint);
}

void TToolButton::SetShortCut(const std::string& value) {
    if (value == shortCut_) return;
    shortCut_ = value;
    Notify(TChange::Hint);
}

void TToolButton::SetDown(bool value) {
    if (value == down_) return;
    down_ = value;
    Notify(TChange::Down);
}

}  // namespace portvale
