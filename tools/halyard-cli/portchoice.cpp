#include "portchoice.h"

#include <cstring>
#include <set>

namespace halyard::cli {

std::string FileNamePart(const std::string& port) {
    std::string out = port;
    for (char& c : out) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        c = plain ? c : '_';
    }
    return out;
}

std::string WithPort(std::string path, const std::string& port) {
    for (size_t at; (at = path.find(kPortPlaceholder)) != std::string::npos;) {
        path.replace(at, std::strlen(kPortPlaceholder), FileNamePart(port));
    }
    return path;
}

std::optional<PortChoiceError> ChoosePorts(const PortTable& table,
                                           const std::vector<std::string>& names, bool all,
                                           std::vector<PortEntry>& chosen,
                                           std::vector<std::string>& absent) {
    const auto programmingPorts =
        table.Entries().begin() + static_cast<long>(table.ProgrammingPortCount());
    if (all) {
        if (!names.empty()) {
            return PortChoiceError{true, "--all and --port exclude each other"};
        }
        if (table.ProgrammingPortCount() == 0) {
            return PortChoiceError{false, "no programming ports are listed"};
        }
        chosen.assign(table.Entries().begin(), programmingPorts);
        return std::nullopt;
    }
    if (names.empty()) {
        if (table.ProgrammingPortCount() > 1) {
            std::string listed;
            for (auto it = table.Entries().begin(); it != programmingPorts; ++it) {
                listed += " " + it->name;
            }
            return PortChoiceError{true, std::to_string(table.ProgrammingPortCount()) +
                                             " ports are listed:" + listed +
                                             "; name the ports with --port NAME, or take every "
                                             "one with --all"};
        }
        chosen.push_back(table.Entries().front());
        return std::nullopt;
    }
    std::set<std::string> seen;
    for (const std::string& name : names) {
        if (!seen.insert(name).second) {
            return PortChoiceError{true, "port '" + name + "' is named more than once"};
        }
        if (const auto found = table.Find(name)) {
            chosen.push_back(table.Entries()[*found]);
        } else {
            absent.push_back(name);
        }
    }
    return std::nullopt;
}

}  // namespace halyard::cli
