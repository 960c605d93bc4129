#include "gui/MainWindow.h"

#include <QCheckBox>
#include <algorithm>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "framework/Application.h"
#include "gui/Icons.h"

namespace portvale {

namespace {

// One spacing for the whole window, so everything lines up on the same rhythm.
constexpr int kGap = 6;

QHBoxLayout* Row(QWidget* owner, int margin = 0) {
    auto* row = new QHBoxLayout(owner);
    row->setContentsMargins(margin, margin, margin, margin);
    row->setSpacing(kGap);
    return row;
}

QVBoxLayout* Column(QWidget* owner, int margin = 0) {
    auto* column = new QVBoxLayout(owner);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(kGap);
    return column;
}

}  // namespace

template <typename Peer, typename Control, typename Widget, typename... More>
Widget* MainWindow::Join(Control* control, Widget* widget, More&&... more) {
    widget->setObjectName(QString::fromStdString(control->Name()));
    peers_.push_back(std::make_unique<Peer>(control, widget, std::forward<More>(more)...));
    return widget;
}

MainWindow::MainWindow(TForm1& form) : form_(form) {
    setWindowIcon(IconFor("icons/portvale.svg"));
    Join<FormPeer>(static_cast<TForm*>(&form_), static_cast<QWidget*>(this));

    BuildToolBar();
    auto* central = new QWidget(this);
    auto* column = Column(central);
    column->setContentsMargins(kGap + 2, kGap, kGap + 2, 2);
    column->addWidget(BuildTopPanel(central));
    column->addWidget(BuildLogArea(central), 1);
    setCentralWidget(central);
    Join<StatusBarPeer>(form_.stat1, statusBar());
    JoinLabelsToTheirControls();

    resize(QSize(form_.Width(), form_.Height()).expandedTo(minimumSizeHint()));
}

MainWindow::~MainWindow() { DetachPeers(); }

void MainWindow::DetachPeers() {
    detached_ = true;
    peers_.clear();
}

QWidget* MainWindow::WidgetOf(const TControl* control) const {
    for (const auto& peer : peers_)
        if (peer->Control() == control) return peer->Widget();
    return nullptr;
}

void MainWindow::BuildToolBar() {
    TToolBar* model = form_.tlb1;
    auto* bar = Join<ToolBarPeer>(model, new QToolBar(this));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    if (model->Images) bar->setIconSize(QSize(model->Images->Width(), model->Images->Height()));
    std::vector<QToolButton*> buttons;
    for (int i = 0; i < model->ControlCount(); ++i) {
        auto* button = dynamic_cast<TToolButton*>(model->Controls(i));
        if (!button) continue;
        if (button->Style == TToolButtonStyle::tbsSeparator) {
            bar->addSeparator();
            continue;
        }
        const TImageList* images = model->Images;
        auto* widget = Join<ToolButtonPeer>(button, new QToolButton(bar), images);
        // As Qt's own tool bar buttons: the keyboard focus starts in the first edit,
        // and a focus frame would pass for a pressed look.
        widget->setFocusPolicy(Qt::NoFocus);
        bar->addWidget(widget);
        buttons.push_back(widget);
    }
    // Short captions ("Buy") would otherwise give narrow targets beside wide ones.
    for (QToolButton* b : buttons) b->setMinimumWidth(2 * bar->iconSize().width() + kGap);
    addToolBar(Qt::TopToolBarArea, bar);
}

QWidget* MainWindow::BuildTopPanel(QWidget* parent) {
    TForm1& f = form_;
    auto* panel = Join<PanelPeer>(f.pnl1, new QWidget(parent), PanelSizing::Free);
    auto label = [&](TLabel* l) { return Join<LabelPeer>(l, new QLabel(panel)); };
    auto edit = [&](TEdit* e) { return Join<EditPeer>(e, new QLineEdit(panel)); };
    auto button = [&](TButton* b) { return Join<ButtonPeer>(b, new QPushButton(panel)); };
    auto check = [&](TCheckBox* c) { return Join<CheckBoxPeer>(c, new QCheckBox(panel)); };
    auto radios = [&](TRadioGroup* g) { return Join<RadioGroupPeer>(g, new QGroupBox(panel)); };

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(kGap);
    grid->setVerticalSpacing(kGap);
    grid->addWidget(label(f.lblHost), 0, 0);
    grid->addWidget(edit(f.txbHost), 0, 1);
    grid->addWidget(label(f.lblPort), 0, 2);
    QLineEdit* port = edit(f.txbPort);
    // Room for any port number, and no more.
    port->setFixedWidth(port->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 2 * kGap + 8);
    grid->addWidget(port, 0, 3);
    grid->addWidget(label(f.lblSendMessage), 1, 0);
    grid->addWidget(edit(f.txbSendMessage), 1, 1, 1, 3);
    grid->addWidget(button(f.btnTCPSendMessage), 1, 4);
    grid->addWidget(label(f.lblCom), 2, 0);
    grid->addWidget(edit(f.txbCom), 2, 1, 1, 3);
    grid->addWidget(button(f.btnSendCom), 2, 4);
    auto* lineEnds = new QHBoxLayout;
    lineEnds->setSpacing(3 * kGap);
    lineEnds->addWidget(check(f.chkCarriageReturn));
    lineEnds->addWidget(check(f.chkNewLine));
    lineEnds->addStretch(1);
    grid->addLayout(lineEnds, 3, 1, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);

    auto* row = Row(panel);
    row->addLayout(grid, 1);
    row->addSpacing(kGap);
    for (TRadioGroup* g : {f.grpTCPSocketType, f.rdSendFormat, f.rdIncomingFormat}) row->addWidget(radios(g));
    return panel;
}

QWidget* MainWindow::BuildPane(TPanel* panel, TGroupBox* group, TRichEdit* edit, QWidget* parent) {
    auto* outer = new QWidget(parent);
    auto* box = Join<GroupBoxPeer>(group, new QGroupBox(outer));
    auto* column = Column(outer);
    // The panes meet edge to edge in the model; a gap below each keeps their
    // frames apart.
    column->setContentsMargins(0, 0, 0, kGap);
    column->addWidget(box);
    Column(box, kGap)->addWidget(Join<RichEditPeer>(edit, new QPlainTextEdit(box)));
    return Join<PanelPeer>(panel, outer, PanelSizing::FollowsModel);
}

QWidget* MainWindow::BuildLogArea(QWidget* parent) {
    TForm1& f = form_;
    // No Qt layout here: the model lays the three panels out (the upper pane's
    // height is its resize handler's rule) from the size this area reports. A Qt
    // layout holding the upper pane at a fixed height would let the window shrink
    // only step by step, each step freeing a little more room.
    auto* area = new QWidget(parent);
    QWidget* upper = BuildPane(f.pnl2, f.grp1, f.redtTCPIPMsg, area);
    QWidget* lower = BuildPane(f.pnl3, f.grp2, f.redtComPortMsg, area);

    auto* strip = new QWidget(area);
    auto* row = Row(strip);
    row->setContentsMargins(2, 0, 2, 0);
    row->addWidget(Join<ImagePeer>(f.imgConectionStatus, new QLabel(strip)));
    row->addStretch(1);
    row->addWidget(Join<LabelPeer>(f.lbl4, new QLabel(strip)));
    Join<PanelPeer>(f.pnl5, strip, PanelSizing::FollowsModel);

    // Small enough to shrink the window, large enough that the rule still leaves
    // both panes their least useful height: about half the area each, less the
    // strip at the bottom.
    const int pane = std::max(upper->minimumSizeHint().height(), lower->minimumSizeHint().height());
    area->setMinimumHeight(2 * (pane + f.pnl5->Height()));
    area->setMinimumWidth(std::max({upper->minimumSizeHint().width(), strip->minimumSizeHint().width()}));
    // Last, so the panels it lays out have their peers before it first reports.
    return Join<PanelPeer>(f.pnl4, area, PanelSizing::ReportsSize);
}

void MainWindow::JoinLabelsToTheirControls() {
    for (const auto& peer : peers_) {
        const auto* label = dynamic_cast<const TLabel*>(peer->Control());
        if (!label || !label->FocusControl) continue;
        if (auto* widget = qobject_cast<QLabel*>(peer->Widget())) widget->setBuddy(WidgetOf(label->FocusControl));
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The form's show handler runs once the window is really up, from the loop: a
    // box it shows then has a window to sit on. A spontaneous show (restored from
    // the task bar) is no new show for the form.
    if (event->spontaneous()) return;
    QTimer::singleShot(0, this, [this] {
        if (!detached_) Guarded([&] { form_.Show(); });
    });
}

QMenu* MainWindow::createPopupMenu() {
    // The tool bar is part of the window, not something to hide.
    return nullptr;
}

void MainWindow::CentreOnScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // A small screen gets a smaller window rather than one hanging off its edges.
    const QRect available = screen->availableGeometry();
    const QSize decoration = frameGeometry().size() - size();
    const QSize room = available.size() - decoration;
    if (width() > room.width() || height() > room.height()) resize(size().boundedTo(room));
    QRect frame = frameGeometry();
    frame.moveCenter(available.center());
    move(frame.topLeft());
}

}  // namespace portvale
