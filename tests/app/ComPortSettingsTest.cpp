// "Com Port Settings": the setup dialog, then "comport.ini" written whatever the user
// chose; the file read back at the next start; "There is no Com Port" when the dialog
// cannot be made or the file cannot be written.
#include <filesystem>
#include <functional>

#include "comport/ComPortSetup.h"
#include "framework/IniFile.h"
#include "tests/app/FormTestSupport.h"
#include "tests/platform/registry/SysfsTree.h"

namespace portvale {
namespace {

class ComPortSettingsTest : public test::FormTest {
protected:
    ComPortSettingsTest() { tree.AddTty("ttyUSB0", "pnp0/ttyUSB0", "4"); }
    std::string Stored(const std::string& key) const {
        return TIniFile(dir.File("comport.ini")).ReadString("ComPort1", key, "(missing)");
    }
    test::SysfsTree tree;
};

TEST_F(ComPortSettingsTest, CancelStillWritesThePortsSettingsAndOkItsPicksForTheNextStart) {
    Start();
    Click(form->btnSetup);
    EXPECT_EQ(interaction.modals, std::vector<std::string>{"Setup"});
    EXPECT_EQ(Stored("Port") + " " + Stored("BaudRate") + " " + Stored("Parity"), "COM1 9600 Odd");

    interaction.OnShowModal = [](TForm& shown) {
        auto& setup = dynamic_cast<TComSetupFrm&>(shown);
        setup.Combo1->UserSetItemIndex(setup.Combo1->IndexOf("ttyUSB0"));
        setup.Combo2->UserSetItemIndex(setup.Combo2->IndexOf("38400"));
        setup.Button1->Click();
        return shown.ModalResult();
    };
    Click(form->btnSetup);
    EXPECT_EQ(Stored("Port") + " " + Stored("BaudRate"), "ttyUSB0 38400");
    form.reset();
    Start();
    EXPECT_EQ(form->ComPort1->Port(), "ttyUSB0");
    EXPECT_EQ(form->ComPort1->BaudRate(), br38400);
    EXPECT_FALSE(form->ComPort1->Connected()) << "loading does not open the port";
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(ComPortSettingsTest, DialogOrFileFailureSaysThereIsNoComPort) {
    struct Case {
        const char* what;
        std::function<void(const std::string& iniFile, test::SysfsTree& system)> arrange;
        std::size_t modals;
    };
    const Case cases[] = {
        {"no serial port on the system: no list, no dialog", [](const std::string&, test::SysfsTree&) {}, 0},
        {"a folder where the file goes",
         [](const std::string& iniFile, test::SysfsTree& system) {
             system.AddTty("ttyS0", "pnp0/ttyS0", "4");
             std::filesystem::create_directory(iniFile);
         },
         1},
    };
    for (const Case& c : cases) {
        test::SysfsTree system;  // in place of the fixture's, for this case alone
        c.arrange(dir.File("comport.ini"), system);
        interaction.shown.clear();
        interaction.modals.clear();
        Start();
        Click(form->btnSetup);
        EXPECT_EQ(interaction.modals.size(), c.modals) << c.what;
        ASSERT_EQ(interaction.shown.size(), 1u) << c.what;
        EXPECT_EQ(interaction.shown[0].text + "|" + interaction.shown[0].caption, "There is no Com Port|Portvale");
        EXPECT_EQ(interaction.shown[0].flags, MB_OK) << c.what;
        EXPECT_FALSE(std::filesystem::is_regular_file(dir.File("comport.ini"))) << c.what;
    }
}

}  // namespace
}  // namespace portvale
