#pragma once
// Helpers of the packaging tests: running a command, reading the files under
// packaging/, and finding the options a help text names in a manual page's source.

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Command.h"

namespace portvale::test {

inline const std::filesystem::path kPackagingDir = PORTVALE_PACKAGING_DIR;
inline const std::filesystem::path kSourceDir = kPackagingDir.parent_path();

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string Quoted(const std::string& word) {
    std::string out = "'";
    for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline bool HaveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}


// Every option a help text names: a word starting with '-' or "--" after a space, a
// bracket, a comma or a quote, so "start-up" is none.
inline std::set<std::string> OptionsNamed(const std::string& help) {
    static const std::regex option(R"((^|[\s(,'])(--?[A-Za-z][A-Za-z0-9-]*))");
    std::set<std::string> options;
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it)
        options.insert((*it)[2].str());
    return options;
}

// Manual page source with troff's minus signs ("\-") as plain hyphens.
inline std::string Unescaped(const std::string& troff) {
    return std::regex_replace(troff, std::regex(R"(\\-)"), "-");
}

// Whether the page names the option as a whole word: "--capture" is not named by
// "--capture-max", nor "-h" by "--headless".
inline bool Names(const std::string& troff, const std::string& option) {
    const std::string escaped = std::regex_replace(option, std::regex(R"([-.])"), R"(\$&)");
    return std::regex_search(Unescaped(troff), std::regex("(^|[^-])" + escaped + "([^A-Za-z0-9-]|$)"));
}

inline std::set<std::string> MissingOptions(const std::string& help, const std::string& troff) {
    std::set<std::string> missing;
    for (const std::string& option : OptionsNamed(help))
        if (!Names(troff, option)) missing.insert(option);
    return missing;
}

// The text of a section (".SH NAME" or '.SH "NAME"') up to the next one.
inline std::string Section(const std::string& troff, const std::string& name) {
    const std::regex heading("(^|\n)\\.SH \"?" + name + "\"?\n");
    std::smatch match;
    if (!std::regex_search(troff, match, heading)) return {};
    const auto start = static_cast<std::size_t>(match.position(0) + match.length(0));
    const auto next = troff.find("\n.SH ", start);
    return troff.substr(start, next == std::string::npos ? std::string::npos : next + 1 - start);
}

}  // namespace portvale::test
