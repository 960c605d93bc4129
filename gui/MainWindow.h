#pragma once
// The main window: the widget tree of TForm1, one Qt widget per control, each
// joined to its control by a peer (gui/Peers.h). The program's layout fixes only
// what the model holds (order, captions, the log panes' split, the bottom strip's
// height); Qt's layouts place the rest, so nothing is clipped at any scale.
//
// The log area tells the model its real size whenever Qt resizes it; the model
// lays out its three panels (its resize handler sets the upper pane's height) and
// the panels go where the model puts them.
//
// Lifetime: the window must not outlive the form unless DetachPeers ran first.

#include <QMainWindow>
#include <memory>
#include <vector>

#include "app/unPortvale.h"
#include "gui/Peers.h"

namespace portvale {

class MainWindow : public QMainWindow {
public:
    explicit MainWindow(TForm1& form);
    ~MainWindow() override;

    // Moves the window to the middle of the screen, first shrinking it to fit
    // when it can.
    void CentreOnScreen();
    // Cuts every peer from its control: the controls report to nothing and the
    // widgets stay as they are. Before the form goes; safe to call twice.
    void DetachPeers();
    // The widget that shows control, if any.
    QWidget* WidgetOf(const TControl* control) const;

protected:
    void showEvent(QShowEvent* event) override;
    QMenu* createPopupMenu() override;

private:
    template <typename Peer, typename Control, typename Widget, typename... More>
    Widget* Join(Control* control, Widget* widget, More&&... more);

    void BuildToolBar();
    QWidget* BuildTopPanel(QWidget* parent);
    QWidget* BuildLogArea(QWidget* parent);
    QWidget* BuildPane(TPanel* panel, TGroupBox* group, TRichEdit* edit, QWidget* parent);
    void JoinLabelsToTheirControls();

    TForm1& form_;
    std::vector<std::unique_ptr<ControlPeer>> peers_;
    bool detached_ = false;
};

}  // namespace portvale
