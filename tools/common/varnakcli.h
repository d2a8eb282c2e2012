// Exit codes that scripts can rely on, the same for every program:
//   0 success, 1 the operation failed, 2 a usage error, 130 interrupted (Ctrl-C).
// CLI11 has codes of its own for each kind of parse error (105, 106, ...); ParseCommandLine
// turns every one of them into 2, so no other code reaches the caller.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>

namespace varnak::cli {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// The line every program's --help ends with.
constexpr const char* kExitStatusHelp =
    "Exit status: 0 success, 1 the operation failed, 2 usage error, 130 interrupted.";

// Parses the command line. Empty when the program should go on; otherwise the code to exit
// with: 0 after --help or --version (printed to standard output), 2 after a usage error (its
// message printed to standard error).
inline std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kExitSuccess : kExitUsage;
    }
}

}  // namespace varnak::cli
