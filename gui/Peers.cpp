#include "gui/Peers.h"

#include <QButtonGroup>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QToolButton>

#include "gui/Icons.h"

namespace portvale {

namespace {

QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }

Qt::Alignment HorizontalAlignment(TAlignment alignment) {
    switch (alignment) {
        case TAlignment::taRightJustify: return Qt::AlignRight;
        case TAlignment::taCenter: return Qt::AlignHCenter;
        case TAlignment::taLeftJustify: break;
    }
    return Qt::AlignLeft;
}

}  // namespace

// ---- base ----

ControlPeer::ControlPeer(TControl* control, QWidget* widget) : control_(control), widget_(widget) {}

ControlPeer::~ControlPeer() {
    if (control_->Peer() == this) control_->SetPeer(nullptr);
}

void ControlPeer::Attach(std::initializer_list<TChange> state) {
    control_->SetPeer(this);
    Changed(TChange::Enabled);
    Changed(TChange::Visible);
    for (TChange what : state) Changed(what);
}

void ControlPeer::Changed(TChange what) {
    if (!widget_) return;
    switch (what) {
        case TChange::Enabled:
            widget_->setEnabled(control_->Enabled());
            break;
        case TChange::Visible:
            // Showing a widget that has no parent yet would make it a window of its own.
            if (!control_->Visible())
                widget_->hide();
            else if (widget_->isHidden() && !widget_->isWindow())
                widget_->show();
            break;
        default:
            break;
    }
    Mirror(what);
}

ToolBarPeer::ToolBarPeer(TToolBar* bar, QWidget* widget) : ControlPeer(bar, widget) { Attach({}); }

// ---- form ----

FormPeer::FormPeer(TForm* form, QWidget* window) : ControlPeer(form, window), form_(form) {
    Attach({TChange::Caption});
}

void FormPeer::Mirror(TChange what) {
    if (what == TChange::Caption) Widget()->setWindowTitle(Text(form_->Caption()));
    if (what == TChange::ModalResult && form_->ModalResult() != mrNone)
        if (auto* dialog = qobject_cast<QDialog*>(Widget())) dialog->done(form_->ModalResult());
}

// ---- panel ----

PanelPeer::PanelPeer(TPanel* panel, QWidget* widget, PanelSizing sizing)
    : ControlPeer(panel, widget), panel_(panel), sizing_(sizing) {
    if (sizing_ == PanelSizing::ReportsSize) widget->installEventFilter(this);
    Attach({TChange::Bounds});
}

bool PanelPeer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Widget() && event->type() == QEvent::Resize) ReportSize();
    return false;
}

void PanelPeer::Mirror(TChange what) {
    if (what != TChange::Bounds) return;
    switch (sizing_) {
        case PanelSizing::FollowsModel:
            Widget()->setGeometry(panel_->Left(), panel_->Top(), panel_->Width(), panel_->Height());
            break;
        case PanelSizing::ReportsSize:
            // The program laid the panel out by its own idea of the window; Qt's size
            // is the real one. Told later, so the program's layout pass ends first;
            // once the sizes agree nothing more is reported.
            if (!reportQueued_ && Widget()->isVisible() &&
                Widget()->size() != QSize(panel_->Width(), panel_->Height())) {
                reportQueued_ = true;
                QTimer::singleShot(0, this, [this] {
                    reportQueued_ = false;
                    ReportSize();
                });
            }
            break;
        case PanelSizing::Free:
            break;
    }
}

void PanelPeer::ReportSize() {
    QWidget* w = Widget();
    if (!w) return;
    const QRect g = w->geometry();
    if (g.x() == panel_->Left() && g.y() == panel_->Top() && g.width() == panel_->Width() &&
        g.height() == panel_->Height())
        return;
    Input([&] { panel_->SetBounds(g.x(), g.y(), g.width(), g.height()); });
}

// ---- group box, label, button ----

GroupBoxPeer::GroupBoxPeer(TGroupBox* group, QGroupBox* widget) : ControlPeer(group, widget), group_(group) {
    Attach({TChange::Caption});
}

void GroupBoxPeer::Mirror(TChange what) {
    if (what == TChange::Caption) static_cast<QGroupBox*>(Widget())->setTitle(Text(group_->Caption()));
}

LabelPeer::LabelPeer(TLabel* label, QLabel* widget) : ControlPeer(label, widget), label_(label) {
    // Captions are text, never markup.
    widget->setTextFormat(Qt::PlainText);
    Attach({TChange::Caption});
}

void LabelPeer::Mirror(TChange what) {
    if (what != TChange::Caption) return;
    auto* w = static_cast<QLabel*>(Widget());
    w->setAlignment(HorizontalAlignment(label_->Alignment()) | Qt::AlignVCenter);
    w->setText(Text(label_->Caption()));
}

ButtonPeer::ButtonPeer(TButton* button, QPushButton* widget) : ControlPeer(button, widget), button_(button) {
    widget->setDefault(button->Default);
    connect(widget, &QPushButton::clicked, this, [this] { Input([&] { button_->Click(); }); });
    Attach({TChange::Caption});
}

void ButtonPeer::Mirror(TChange what) {
    if (what == TChange::Caption) static_cast<QPushButton*>(Widget())->setText(Text(button_->Caption()));
}

// ---- combo box ----

ComboBoxPeer::ComboBoxPeer(TComboBox* combo, QComboBox* widget) : ControlPeer(combo, widget), combo_(combo) {
    widget->setEditable(combo->Editable());
    if (combo->Editable()) {
        // The model keeps the list; Enter must not add the typed text to it. Qt's
        // completion would fill in an item's label, which is no device name.
        widget->setInsertPolicy(QComboBox::NoInsert);
        widget->setCompleter(nullptr);
        // Only the user's typing: a programmatic setText raises no textEdited.
        connect(widget->lineEdit(), &QLineEdit::textEdited, this,
                [this](const QString& text) { Input([&] { combo_->UserSetText(text.toStdString()); }); });
    }
    // Only the user's own picks: a programmatic selection raises nothing in the model.
    connect(widget, &QComboBox::activated, this, [this](int index) { Picked(index); });
    Attach({TChange::Items});
}

QComboBox* ComboBoxPeer::Combo() const { return static_cast<QComboBox*>(Widget()); }

void ComboBoxPeer::Mirror(TChange what) {
    if (what == TChange::Items) RebuildItems();
    if (what == TChange::Items || what == TChange::ItemIndex || what == TChange::Text) ShowItemIndex();
}

void ComboBoxPeer::RebuildItems() {
    QComboBox* w = Combo();
    w->clear();
    for (int i = 0; i < combo_->ItemCount(); ++i) w->addItem(Text(combo_->ItemLabel(i)));
    // A label longer than the closed box still shows whole in the open list.
    w->view()->setMinimumWidth(w->view()->sizeHintForColumn(0) + w->view()->frameWidth() * 2);
}

void ComboBoxPeer::ShowItemIndex() {
    QComboBox* w = Combo();
    w->setCurrentIndex(combo_->ItemIndex());
    // Qt puts the item's label in the edit; the user edits the model's text.
    if (combo_->Editable() && w->lineEdit()->text() != Text(combo_->Text())) w->setEditText(Text(combo_->Text()));
    // The closed box may cut a long label; the tip shows it whole.
    w->setToolTip(combo_->ItemIndex() < 0 ? QString() : Text(combo_->ItemLabel(combo_->ItemIndex())));
}

void ComboBoxPeer::Picked(int index) {
    Input([&] { combo_->UserSetItemIndex(index); });
    // A handler may have selected something else, or closed the window; an editable
    // box shows the picked item's text, not its label.
    if (Widget()) ShowItemIndex();
}

// ---- tool button ----

ToolButtonPeer::ToolButtonPeer(TToolButton* button, QToolButton* widget, const TImageList* images)
    : ControlPeer(button, widget), button_(button), images_(images) {
    // Checkable only so Qt can draw the pressed look; Clicked takes back Qt's toggle.
    widget->setCheckable(true);
    widget->setAutoRaise(true);
    widget->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    if (images_) widget->setIconSize(QSize(images_->Width(), images_->Height()));
    connect(widget, &QToolButton::clicked, this, [this] { Clicked(); });
    Attach({TChange::Caption, TChange::Picture, TChange::Down, TChange::Hint});
}

void ToolButtonPeer::Mirror(TChange what) {
    auto* w = static_cast<QToolButton*>(Widget());
    switch (what) {
        case TChange::Caption:
            w->setText(Text(button_->Caption()));
            break;
        case TChange::Picture: {
            const int index = button_->ImageIndex();
            const bool has = images_ && index >= 0 && index < images_->Count();
            w->setIcon(has ? IconFor(images_->Image(index)) : QIcon());
            break;
        }
        case TChange::Down:
            ShowDown();
            break;
        case TChange::Hint: {
            // Qt's shortcut works while the window is active, as a menu accelerator
            // would; the tip names the key so the user can learn it.
            const QKeySequence key = QKeySequence::fromString(Text(button_->ShortCut()), QKeySequence::PortableText);
            w->setShortcut(key);
            QString tip = Text(button_->Hint());
            if (!key.isEmpty()) {
                const QString keyText = key.toString(QKeySequence::NativeText);
                tip = tip.isEmpty() ? keyText : QStringLiteral("%1 (%2)").arg(tip, keyText);
            }
            w->setToolTip(tip);
            break;
        }
        default:
            break;
    }
}

void ToolButtonPeer::ShowDown() {
    if (auto* w = static_cast<QToolButton*>(Widget())) w->setChecked(button_->Down());
}

void ToolButtonPeer::Clicked() {
    // Qt toggled the look before telling us; the model's Down is the only truth.
    ShowDown();
    Input([&] { button_->Click(); });
    ShowDown();
}

// ---- check box ----

CheckBoxPeer::CheckBoxPeer(TCheckBox* box, QCheckBox* widget) : ControlPeer(box, widget), box_(box) {
    connect(widget, &QCheckBox::clicked, this, [this] {
        Input([&] { box_->Click(); });
        // A handler may have set the box back; show what the model holds.
        if (auto* w = static_cast<QCheckBox*>(Widget())) w->setChecked(box_->Checked());
    });
    Attach({TChange::Caption, TChange::Checked});
}

void CheckBoxPeer::Mirror(TChange what) {
    auto* w = static_cast<QCheckBox*>(Widget());
    if (what == TChange::Caption) w->setText(Text(box_->Caption()));
    if (what == TChange::Checked) w->setChecked(box_->Checked());
}

// ---- radio group ----

RadioGroupPeer::RadioGroupPeer(TRadioGroup* group, QGroupBox* widget)
    : ControlPeer(group, widget), group_(group), buttons_(new QButtonGroup(this)) {
    auto* grid = new QGridLayout(widget);
    grid->setVerticalSpacing(2);
    Attach({TChange::Caption, TChange::Items});
}

QAbstractButton* RadioGroupPeer::Button(int index) const { return buttons_->button(index); }

void RadioGroupPeer::Mirror(TChange what) {
    switch (what) {
        case TChange::Caption:
            static_cast<QGroupBox*>(Widget())->setTitle(Text(group_->Caption()));
            break;
        case TChange::Items:
            RebuildItems();
            ShowItemIndex();
            break;
        case TChange::ItemIndex:
            ShowItemIndex();
            break;
        default:
            break;
    }
}

void RadioGroupPeer::RebuildItems() {
    auto* grid = static_cast<QGridLayout*>(Widget()->layout());
    for (QAbstractButton* old : buttons_->buttons()) {
        buttons_->removeButton(old);
        grid->removeWidget(old);
        old->hide();
        // Later: the items may change from the handler of a click on this button.
        old->deleteLater();
    }
    const auto& items = group_->Items();
    const int count = static_cast<int>(items.size());
    const int columns = group_->Columns();
    const int rows = std::max(1, (count + columns - 1) / columns);
    for (int i = 0; i < count; ++i) {
        auto* radio = new QRadioButton(Text(items[static_cast<std::size_t>(i)]), Widget());
        buttons_->addButton(radio, i);
        grid->addWidget(radio, i % rows, i / rows);
        connect(radio, &QRadioButton::clicked, this, [this, i] { Picked(i); });
    }
    // Spare height goes below the items, not between them.
    grid->setRowStretch(rows, 1);
}

void RadioGroupPeer::ShowItemIndex() {
    const int index = group_->ItemIndex();
    if (QAbstractButton* button = buttons_->button(index)) {
        button->setChecked(true);
        return;
    }
    // An exclusive group keeps one button checked; none may be while the model
    // selects nothing.
    buttons_->setExclusive(false);
    for (QAbstractButton* b : buttons_->buttons()) b->setChecked(false);
    buttons_->setExclusive(true);
}

void RadioGroupPeer::Picked(int index) {
    Input([&] { group_->UserSetItemIndex(index); });
    ShowItemIndex();
}

// ---- status bar ----

StatusBarPeer::StatusBarPeer(TStatusBar* bar, QStatusBar* widget) : ControlPeer(bar, widget), bar_(bar) {
    Attach({TChange::Panels});
}

QLabel* StatusBarPeer::Panel(int index) const {
    if (index < 0 || index >= static_cast<int>(panels_.size())) return nullptr;
    return panels_[static_cast<std::size_t>(index)];
}

void StatusBarPeer::Mirror(TChange what) {
    if (what != TChange::Panels) return;
    auto* bar = static_cast<QStatusBar*>(Widget());
    const int count = bar_->PanelCount();
    const bool grew = static_cast<int>(panels_.size()) < count;
    while (static_cast<int>(panels_.size()) < count) {
        auto* label = new QLabel(bar);
        label->setObjectName(Text(bar_->Name()) + QStringLiteral(".panel%1").arg(panels_.size()));
        label->setTextFormat(Qt::PlainText);
        label->setContentsMargins(4, 0, 4, 0);
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        panels_.emplace_back(label);
    }
    for (int i = 0; i < static_cast<int>(panels_.size()); ++i) {
        QLabel* label = panels_[static_cast<std::size_t>(i)];
        if (!label) continue;
        if (i >= count) {
            label->hide();
            continue;
        }
        const TStatusPanel& panel = bar_->Panel(i);
        const bool last = i == count - 1;
        label->setText(Text(panel.Text));
        // A text wider than its panel would be cut; the whole of it stays readable.
        label->setToolTip(Text(panel.Text));
        label->setAlignment(HorizontalAlignment(panel.Alignment) | Qt::AlignVCenter);
        // The last panel takes the bar's spare width: a long text is likelier there
        // (the reason a connection failed) and is better shown than clipped.
        if (last) {
            label->setMinimumWidth(panel.Width);
            label->setMaximumWidth(QWIDGETSIZE_MAX);
        } else {
            label->setFixedWidth(panel.Width);
        }
        if (grew) {
            // Which panel is last has changed, and with it the stretch of each.
            bar->removeWidget(label);
            bar->insertWidget(i, label, last ? 1 : 0);
        }
        label->show();
    }
}

// ---- image ----

ImagePeer::ImagePeer(TImage* image, QLabel* widget) : ControlPeer(image, widget), image_(image) {
    widget->setAlignment(Qt::AlignCenter);
    Attach({TChange::Bounds, TChange::Picture});
}

void ImagePeer::Mirror(TChange what) {
    auto* w = static_cast<QLabel*>(Widget());
    const TBitmap& picture = image_->Picture();
    switch (what) {
        case TChange::Bounds:
            if (image_->Width() > 0 && image_->Height() > 0) w->setFixedSize(image_->Width(), image_->Height());
            break;
        case TChange::Picture:
            if (picture.Empty()) {
                w->clear();
                break;
            }
            // Drawn for the widget's pixel ratio, so a scaled screen gets a sharp picture.
            w->setPixmap(IconFor(picture.Resource())
                             .pixmap(QSize(picture.Width(), picture.Height()), w->devicePixelRatioF()));
            break;
        default:
            break;
    }
}

}  // namespace portvale
