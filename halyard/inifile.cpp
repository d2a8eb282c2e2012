#include "inifile.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace halyard {

namespace {

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::filesystem::path IniPathFor(const std::filesystem::path& program) {
    std::filesystem::path ini = program;
    ini.replace_extension("INI");
    return ini;
}

std::optional<std::string> ReadIniValue(const std::filesystem::path& ini,
                                        const std::string& section, const std::string& key) {
    std::ifstream in(ini);
    if (!in) {
        return std::nullopt;
    }
    return ReadIniValue(in, section, key);
}

std::optional<std::string> ReadIniValue(std::istream& in, const std::string& section,
                                        const std::string& key) {
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line.front() == '[') {
            const auto close = line.find(']');
            inSection =
                close != std::string::npos && SameName(Trim(line.substr(1, close - 1)), section);
            continue;
        }
        const auto eq = line.find('=');
        if (inSection && eq != std::string::npos && SameName(Trim(line.substr(0, eq)), key)) {
            return Trim(line.substr(eq + 1));
        }
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> CheckIniVersion(const std::filesystem::path& ini,
                                                     IUserDialogs& dialogs) {
    const std::string version = ReadIniValue(ini, "Setting", "ProgramVersion").value_or("");
    if (version.empty() || version == kProgramVersion) {
        return std::nullopt;
    }
    // The version text comes from the file: keep the moved file in the same folder whatever
    // characters it holds.
    std::string suffix = version;
    std::replace(suffix.begin(), suffix.end(), '/', '_');
    std::filesystem::path target = ini;
    target.replace_extension();
    target += "_" + suffix + ".INI";
    std::error_code ec;
    std::filesystem::remove(target, ec);
    std::filesystem::rename(ini, target, ec);
    if (ec) {
        return std::nullopt;
    }
    dialogs.ShowMessage({"'" + ini.string() + "' is saved as\n\n'" + target.string() + "'", "NOTE",
                         DialogIcon::Information, mbOK, 0, false});
    return target;
}

}  // namespace halyard
