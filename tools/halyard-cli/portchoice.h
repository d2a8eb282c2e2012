// halyard-cli's reading of the port names it is given: which ports of the table a command
// serves, and the file names made from them. A library of its own, so that the fuzz target of
// the command line runs the tool's own parsing.
#pragma once

#include <halyard/ports.h>

#include <optional>
#include <string>
#include <vector>

namespace halyard::cli {

// What stands for the port's name in a --save file name.
constexpr const char* kPortPlaceholder = "{port}";

// A port name as part of a file name: characters other than letters, digits, '.', '-' and
// '_' become '_' (the USB device "\\.\MVT0" gives "__._MVT0").
std::string FileNamePart(const std::string& port);
// `path` with every {port} replaced by the port's name as part of a file name.
std::string WithPort(std::string path, const std::string& port);

// Why the ports could not be chosen: a usage error, or an empty listing.
struct PortChoiceError {
    bool usage = true;
    std::string text;
};

// The ports a command names: --all, each --port (by exact name, each once), or without either
// the only programming port listed (the USB device when none is). Several programming ports
// and neither --port nor --all is a usage error that lists them. A --port name the table does
// not list goes to `absent`: that unit fails, the others are served.
std::optional<PortChoiceError> ChoosePorts(const PortTable& table,
                                           const std::vector<std::string>& names, bool all,
                                           std::vector<PortEntry>& chosen,
                                           std::vector<std::string>& absent);

}  // namespace halyard::cli
