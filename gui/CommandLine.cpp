#include "gui/CommandLine.h"

#include <string_view>

namespace portvale {

namespace {

struct QtOption {
    std::string_view name;
    bool takesValue;
};

// The options QGuiApplication and QApplication take for themselves, each with
// one dash or two; a value follows as the next argument or after '='.
constexpr QtOption kQtOptions[] = {
    {"platform", true},   {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"geometry", true},      {"qwindowicon", true},   {"icon", true},
    {"qwindowtitle", true}, {"title", true},            {"display", true},       {"name", true},
    {"style", true},      {"stylesheet", true},         {"session", true},       {"visual", true},
    {"reverse", false},   {"widgetcount", false},       {"nograb", false},       {"dograb", false},
    {"sync", false},
};

const QtOption* FindQtOption(std::string_view arg) {
    arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
    const std::string_view name = arg.substr(0, arg.find('='));
    for (const QtOption& option : kQtOptions)
        if (option.name == name) return &option;
    return nullptr;
}

}  // namespace

CommandLine ReadCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--headless") return {CommandLineAction::RunHeadless, {}};
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") return {CommandLineAction::ShowHelp, {}};
        if (arg == "--version") return {CommandLineAction::ShowVersion, {}};
        if (arg.size() < 2 || arg[0] != '-')
            return {CommandLineAction::Refuse, "unexpected argument '" + std::string(arg) + "'"};
        const QtOption* qt = FindQtOption(arg);
        if (!qt) return {CommandLineAction::Refuse, "unknown option '" + std::string(arg) + "'"};
        if (qt->takesValue && arg.find('=') == std::string_view::npos) {
            if (i + 1 >= argc) return {CommandLineAction::Refuse, "option '" + std::string(arg) + "' needs a value"};
            ++i;
        }
    }
    return {};
}

std::string HelpText() {
    return "Usage: portvale [OPTION]...\n"
           "Bridges a TCP connection and a serial port, in a window.\n"
           "\n"
           "  -h, --help      show this help and exit\n"
           "      --version   show the version and exit\n"
           "      --headless  run without a window; 'portvale --headless --help'\n"
           "                  lists its options\n"
           "\n"
           "Qt's own options (-style NAME, -platform NAME, ...) are accepted too.\n"
           "Settings are read from and saved to the current directory\n"
           "(TCP.SET and comport.ini).\n";
}

std::string VersionText() { return std::string("portvale ") + PORTVALE_VERSION + "\n"; }

}  // namespace portvale
