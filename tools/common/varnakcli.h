// Exit codes that scripts can rely on, the same for every program:
//   0 success, 1 the operation failed, 2 a usage error, 130 interrupted (Ctrl-C).
// CLI11 has codes of its own for each kind of parse error (105, 106, ...); ParseCommandLine
// turns every one of them into 2, so no other code reaches the caller.
#pragma once

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "common/numbers.h"

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

// A closed output (a pipe whose reader has gone, as with "| head -1") stops the printing, never
// the work: with SIGPIPE ignored, writes to it fail instead of killing the program in the
// middle of a change. Call first in main; ExitCodeAfterOutput then gives the exit code.
inline void KeepWorkingWhenOutputCloses() {
    std::signal(SIGPIPE, SIG_IGN);
}

// `code`, or 1 when it is 0 but standard output or standard error did not take everything.
inline int ExitCodeAfterOutput(int code) {
    std::cout.flush();
    std::cerr.flush();
    const bool lost = !std::cout || !std::cerr || std::fflush(stdout) != 0 ||
                      std::ferror(stdout) != 0 || std::ferror(stderr) != 0;
    return code == kExitSuccess && lost ? kExitFailure : code;
}

// An option's number read as decimal, or as hexadecimal after 0x: CLI11 itself would take a
// leading zero for octal ("010" as 8). Turns the text into plain decimal for CLI11 to convert,
// or fails naming the text.
inline CLI::Validator DecimalNumber() {
    return CLI::Validator(
        [](std::string& text) {
            uint64_t value = 0;
            if (!varnak::ParseUnsigned(text, UINT64_MAX, value)) {
                return "'" + text + "' is not a number (decimal, or hexadecimal after 0x)";
            }
            text = std::to_string(value);
            return std::string();
        },
        "NUMBER");
}

}  // namespace varnak::cli
