#include "gui/ModalDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <cmath>

#include "framework/Application.h"

namespace portvale {

namespace {

// Forms were laid out for the framework's dialog font: lines 13 pixels high, letters
// 6 pixels wide on average.
constexpr int kDesignLineHeight = 13;
constexpr double kDesignLetterWidth = 6.0;

TButton* FindCancelButton(const TWinControl& parent) {
    for (int i = 0; i < parent.ControlCount(); ++i) {
        TControl* c = parent.Controls(i);
        if (auto* b = dynamic_cast<TButton*>(c); b && b->Cancel && b->Enabled() && b->Visible()) return b;
        if (auto* w = dynamic_cast<TWinControl*>(c))
            if (TButton* found = FindCancelButton(*w)) return found;
    }
    return nullptr;
}

}  // namespace

template <typename Peer, typename Control, typename Widget>
Widget* ModalDialog::Join(Control* control, Widget* widget) {
    widget->setObjectName(QString::fromStdString(control->Name()));
    peers_.push_back(std::make_unique<Peer>(control, widget));
    return widget;
}

ModalDialog::ModalDialog(TForm& form, QWidget* parent) : QDialog(parent), form_(form) {
    const QFontMetricsF metrics(font());
    const QString letters = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    scaleX_ = std::max(1.0, metrics.horizontalAdvance(letters) / letters.size() / kDesignLetterWidth);
    scaleY_ = std::max(1.0, metrics.height() / kDesignLineHeight);
    setObjectName(QString::fromStdString(form.Name()));
    peers_.push_back(std::make_unique<FormPeer>(&form_, this));
    const int grew = BuildChildren(form_, this, 0);
    AlignLabels();
    const QSize client(ScaledX(form_.Width()), ScaledY(form_.Height()) + grew);
    if (form_.BorderStyle == TFormBorderStyle::bsDialog) {
        setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                       Qt::MSWindowsFixedSizeDialogHint);
        setFixedSize(client);
    } else {
        resize(client);
    }
}

ModalDialog::~ModalDialog() {
    // Before the widgets, which the peers point at.
    peers_.clear();
}

int ModalDialog::ScaledX(int units) const { return static_cast<int>(std::lround(units * scaleX_)); }
int ModalDialog::ScaledY(int units) const { return static_cast<int>(std::lround(units * scaleY_)); }

QRect ModalDialog::Scaled(const TControl& control) const {
    return QRect(ScaledX(control.Left()), ScaledY(control.Top()), ScaledX(control.Width()),
                 ScaledY(control.Height()));
}

int ModalDialog::BuildChildren(const TWinControl& parent, QWidget* into, int dy) {
    struct Push {
        int below;  // design bottom of the control that grew
        int by;
    };
    std::vector<Push> pushes;
    int lowered = 0;
    for (int i = 0; i < parent.ControlCount(); ++i) {
        TControl* control = parent.Controls(i);
        const QRect design = Scaled(*control);
        int moved = dy;
        for (const Push& p : pushes)
            if (design.top() >= p.below) moved += p.by;
        int grew = 0;
        if (!BuildControl(control, into, design.translated(0, moved), grew)) continue;
        if (grew > 0) pushes.push_back({design.bottom(), grew});
        lowered = std::max(lowered, moved + grew);
    }
    return lowered;
}

QWidget* ModalDialog::BuildControl(TControl* control, QWidget* into, QRect place, int& grew) {
    grew = 0;
    QWidget* widget = nullptr;
    if (auto* combo = dynamic_cast<TComboBox*>(control)) {
        auto* box = Join<ComboBoxPeer>(combo, new QComboBox(into));
        // The design's width, whatever the longest label: the open list shows it whole.
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        widget = box;
    } else if (auto* button = dynamic_cast<TButton*>(control)) {
        widget = Join<ButtonPeer>(button, new QPushButton(into));
    } else if (auto* label = dynamic_cast<TLabel*>(control)) {
        widget = Join<LabelPeer>(label, new QLabel(into));
    } else if (auto* edit = dynamic_cast<TEdit*>(control)) {
        widget = Join<EditPeer>(edit, new QLineEdit(into));
    } else if (auto* check = dynamic_cast<TCheckBox*>(control)) {
        widget = Join<CheckBoxPeer>(check, new QCheckBox(into));
    } else if (auto* radios = dynamic_cast<TRadioGroup*>(control)) {
        widget = Join<RadioGroupPeer>(radios, new QGroupBox(into));
    } else if (auto* group = dynamic_cast<TGroupBox*>(control)) {
        widget = Join<GroupBoxPeer>(group, new QGroupBox(into));
        // The design's title sits on the frame's top line and its content starts a
        // line below the top; Qt's title takes the room above the frame.
        const int titleRoom = std::max(0, widget->contentsRect().top() - ScaledY(kDesignLineHeight));
        grew = BuildChildren(*group, widget, titleRoom);
    } else if (auto* panel = dynamic_cast<TPanel*>(control)) {
        widget = new QWidget(into);
        widget->setObjectName(QString::fromStdString(panel->Name()));
        peers_.push_back(std::make_unique<PanelPeer>(panel, widget, PanelSizing::Free));
        grew = BuildChildren(*panel, widget, 0);
    } else {
        // No dialog has other kinds; the main window builds those.
        return nullptr;
    }
    place.setHeight(place.height() + grew);
    // The design's sizes were measured for its own font; a control never gets less
    // than its text needs, and grows about its centre so rows stay evenly spaced.
    const QSize least = widget->minimumSizeHint();
    if (least.height() > place.height()) place.adjust(0, -(least.height() - place.height()) / 2, 0, 0);
    place.setSize(place.size().expandedTo(least));
    widget->setGeometry(place);
    return widget;
}

void ModalDialog::AlignLabels() {
    for (const auto& peer : peers_) {
        const auto* label = dynamic_cast<const TLabel*>(peer->Control());
        auto* widget = qobject_cast<QLabel*>(peer->Widget());
        if (!label || !widget || !label->FocusControl) continue;
        QWidget* target = WidgetOf(label->FocusControl);
        if (!target) continue;
        widget->setBuddy(target);
        if (target->parentWidget() != widget->parentWidget()) continue;
        QRect place = widget->geometry();
        place.moveTop(target->geometry().center().y() - place.height() / 2);
        widget->setGeometry(place);
    }
}

QWidget* ModalDialog::WidgetOf(const TControl* control) const {
    for (const auto& peer : peers_)
        if (peer->Control() == control) return peer->Widget();
    return nullptr;
}

int ModalDialog::Run() {
    // Every show starts without a result, or a click that sets the last one again
    // would change nothing and so close nothing.
    Guarded([&] { form_.SetModalResult(mrNone); });
    if (form_.Position == TPosition::poScreenCenter) {
        QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    exec();
    return form_.ModalResult();
}

void ModalDialog::reject() {
    // Escape, or the window closed: the form decides through its cancel button, as
    // the framework's dialogs do; without one it is a plain cancel.
    TButton* cancel = FindCancelButton(form_);
    Guarded([&] {
        if (cancel)
            cancel->Click();
        else
            form_.SetModalResult(mrCancel);
    });
}

}  // namespace portvale
