// Test helpers: halyard-cli, varnak-device and halyard run as programs.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace halyard::test {

struct Outcome {
    int status = -1;     // the exit code; -1 when the program did not exit by itself
    std::string output;  // standard output and standard error, as they came
    std::string out;     // with RunSplit: standard output alone
    std::string err;     // with RunSplit: standard error alone
};

inline int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a shell command line and collects its output.
inline Outcome Run(const std::string& command) {
    Outcome run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        return run;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.output.append(buffer, n);
    }
    run.status = ExitCode(pclose(pipe));
    return run;
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a shell command line with its standard output and standard error kept apart, in files
// of `folder`.
inline Outcome RunSplit(const std::string& command, const std::filesystem::path& folder) {
    const std::filesystem::path out = folder / "stdout.txt";
    const std::filesystem::path err = folder / "stderr.txt";
    Outcome run;
    run.status = ExitCode(
        std::system((command + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str()));
    run.out = ReadText(out);
    run.err = ReadText(err);
    run.output = run.out + run.err;
    return run;
}

inline Outcome Cli(const std::string& args) {
    return Run(std::string(HALYARD_CLI) + " " + args);
}
inline Outcome Device(const std::string& args) {
    return Run(std::string(VARNAK_DEVICE) + " " + args);
}

}  // namespace halyard::test
