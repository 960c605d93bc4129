// The setup dialog in the real window: opened by a click on "Com Port Settings",
// worked with real input inside its own loop (a port typed, a rate picked),
// confirmed with a click on OK, and its picture taken (at scale 1, and at scale 2 in a second run, SetupDialogShots.*).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <memory>

#include "app/unPortvale.h"
#include "framework/IniFile.h"
#include "gui/DispatcherBridge.h"
#include "gui/MainWindow.h"
#include "gui/QtInteraction.h"
#include "tests/gui/DialogTestSupport.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/platform/registry/SysfsTree.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

using test::BesideLabel;
using test::ExpectTidy;
using test::FindByText;
using test::ProcessQtUntil;
using test::WhenDialogOpens;

// Message boxes recorded, forms shown as the program shows them.
class QtForms : public test::RecordingInteraction {
public:
    int ShowModal(TForm& form) override {
        modals.push_back(form.Caption());
        return qt_.ShowModal(form);
    }

private:
    QtInteraction qt_;
};

struct RunningWindow {
    test::ScratchWorkingDirectory directory;
    test::SysfsTree system;
    QtForms interaction;
    DispatcherBridge bridge;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<MainWindow> window;

    RunningWindow() {
        system.AddTty("ttyS0", "platform/serial8250/tty/ttyS0", "4");
        system.AddUsbDevice("usb1/1-2", "FT232R USB UART", "FTDI");
        system.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
        form = TForm1::CreateMainWindow();
        window = std::make_unique<MainWindow>(*form);
        window->show();
    }
    ~RunningWindow() {
        window->DetachPeers();
        window.reset();
        form.reset();
    }
};

TEST(SetupDialogShots, TypedPortAndPickedRateAreStoredAfterOk) {
    test::Qt();
    RunningWindow run;
    ASSERT_TRUE(ProcessQtUntil([&] { return run.form->Shown(); }));
    run.form->ComPort1->SetPort("ttyUSB0");
    QToolButton* setup = FindByText<QToolButton>(*run.window, "Com Port Settings");
    ASSERT_NE(setup, nullptr);

    std::string shownPort, shownRate, portTip, listedPort;
    WhenDialogOpens user([&](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Setup");
        auto* port = BesideLabel<QComboBox>(dialog, "Port");
        auto* rate = BesideLabel<QComboBox>(dialog, "Baud rate");
        auto* ok = FindByText<QPushButton>(dialog, "OK");
        ASSERT_TRUE(port && rate && ok);
        ASSERT_TRUE(port->isEditable() && rate->isEditable());
        shownPort = port->currentText().toStdString();
        portTip = port->toolTip().toStdString();
        listedPort = port->itemText(port->currentIndex()).toStdString();
        shownRate = rate->currentText().toStdString();
        EXPECT_TRUE(ok->isDefault());
        // The link socat made, typed over the listed name.
        port->setFocus();
        port->lineEdit()->selectAll();
        QTest::keyClicks(port->lineEdit(), "/tmp/portA");
        // 9600 is shown; two steps down the list is 19200.
        rate->setFocus();
        QTest::keyClick(rate, Qt::Key_Down);
        QTest::keyClick(rate, Qt::Key_Down);
        EXPECT_EQ(rate->currentText(), "19200");
        ExpectTidy(dialog);
        const QPixmap shot = dialog.grab();
        const QString name = shot.devicePixelRatio() >= 2 ? "setup-dialog@2x.png" : "setup-dialog.png";
        EXPECT_TRUE(QDir().mkpath(PORTVALE_SHOTS_DIR));
        EXPECT_TRUE(shot.save(QStringLiteral(PORTVALE_SHOTS_DIR "/") + name));
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    QTest::mouseClick(setup, Qt::LeftButton);
    ASSERT_TRUE(user.Ran()) << "no dialog opened";
    EXPECT_EQ(shownPort, "ttyUSB0") << "the box holds the name the user edits";
    EXPECT_EQ(listedPort, "ttyUSB0 \xE2\x80\x94 FT232R USB UART") << "the list names the adapter";
    EXPECT_EQ(portTip, listedPort);
    EXPECT_EQ(shownRate, "9600");
    EXPECT_EQ(run.form->ComPort1->BaudRate(), br19200);
    EXPECT_EQ(run.form->ComPort1->Port(), "/tmp/portA");
    const TIniFile ini((run.directory.Path() / "comport.ini").string());
    EXPECT_EQ(ini.ReadString("ComPort1", "Port", ""), "/tmp/portA");
    EXPECT_EQ(ini.ReadString("ComPort1", "BaudRate", ""), "19200");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(run.interaction.shown.empty()) << run.interaction.shown.front().text;
}

}  // namespace
}  // namespace portvale
