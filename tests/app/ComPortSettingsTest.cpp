// "Com Port Settings": the setup dialog, then "comport.ini" written whatever the user
// chose; the file read back at the next start; "There is no Com Port" when the dialog
// cannot be made or the file cannot be written.
#include <filesystem>
#include <functional>
#include <map>

#include "comport/ComPortSetup.h"
#include "framework/IniFile.h"
#include "tests/app/FormTestSupport.h"
#include "tests/platform/registry/SysfsTree.h"

namespace portvale {
namespace {

class ComPortSettingsTest : public test::FormTest {
protected:
    ComPortSettingsTest() {
        for (const char* name : {"ttyS0", "ttyUSB0"}) tree.AddTty(name, std::string("pnp0/") + name, "4");
    }

    // The user picks items (list name to item text) and presses OK.
    void PickAndConfirm(std::map<std::string, std::string> picks) {
        interaction.OnShowModal = [picks](TForm& dialog) {
            auto& setup = dynamic_cast<TComSetupFrm&>(dialog);
            for (const auto& [name, item] : picks) {
                auto* combo = dynamic_cast<TComboBox*>(setup.FindComponent(name));
                combo->UserSetItemIndex(combo->IndexOf(item));
            }
            setup.Button1->Click();
            return dialog.ModalResult();
        };
    }

    std::string Stored(const std::string& key) const {
        return TIniFile(dir.File("comport.ini")).ReadString("ComPort1", key, "(missing)");
    }

    test::SysfsTree tree;
};

TEST_F(ComPortSettingsTest, CancelStillWritesThePortsSettings) {
    Start();
    ASSERT_FALSE(std::filesystem::exists(dir.File("comport.ini")));
    Click(form->btnSetup);
    EXPECT_EQ(interaction.modals, std::vector<std::string>{"Setup"});
    EXPECT_EQ(Stored("Port"), "COM1");
    EXPECT_EQ(Stored("BaudRate"), "9600");
    EXPECT_EQ(Stored("Parity"), "Odd");
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(ComPortSettingsTest, ConfirmedSettingsAreWrittenAndTheNextStartLoadsThem) {
    Start();
    PickAndConfirm({{"Combo1", "ttyUSB0"}, {"Combo2", "38400"}, {"Combo5", "Even"}});
    Click(form->btnSetup);
    EXPECT_EQ(Stored("Port"), "ttyUSB0");
    EXPECT_EQ(Stored("BaudRate"), "38400");
    EXPECT_EQ(Stored("Parity"), "Even");

    form.reset();
    Start();
    EXPECT_EQ(form->ComPort1->Port(), "ttyUSB0");
    EXPECT_EQ(form->ComPort1->BaudRate(), br38400);
    EXPECT_EQ(form->ComPort1->Parity().Bits(), prEven);
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
        // No serial port on the system: no list to show, no dialog.
        {"no port list", [](const std::string&, test::SysfsTree&) {}, 0},
        // The file cannot be written: a folder stands in its place.
        {"unwritable file",
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
        EXPECT_EQ(interaction.shown[0].text, sNoComPort) << c.what;
        EXPECT_EQ(interaction.shown[0].caption, "Portvale") << c.what;
        EXPECT_EQ(interaction.shown[0].flags, MB_OK) << c.what;
        EXPECT_FALSE(std::filesystem::is_regular_file(dir.File("comport.ini"))) << c.what;
    }
}

}  // namespace
}  // namespace portvale
