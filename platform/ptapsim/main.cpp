// ptapsim --socket PATH [--config FILE] [--verbose] [--print-config]
//
// Serves a simulated PTAP device on PATH until SIGINT or SIGTERM, then removes the socket.
// The configuration format is described in ptapsim.h. Exit codes: 0 after SIGTERM (the way to
// stop it), 130 after SIGINT (Ctrl-C), 1 when it cannot serve, 2 for a usage error.
#include "ptapsim.h"

#include <varnakcli.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    varnak::cli::KeepWorkingWhenOutputCloses();  // a closed output must not stop the device
    CLI::App app{"Simulated PTAP device: answers PTAP messages on a SOCK_SEQPACKET socket"};
    app.set_version_flag("--version", VARNAK_VERSION);
    std::string socketPath;
    std::string configPath;
    bool verbose = false;
    bool printConfig = false;
    app.add_option("--socket", socketPath,
                   "Socket to listen on; the transport finds it when its path ends with 'ptap'");
    app.add_option("--config", configPath, "Configuration file (default: the built-in device)");
    app.add_flag("--verbose,-v", verbose, "Log connections, requests and answers to stderr");
    app.add_flag("--print-config", printConfig, "Print the configuration in use and exit");
    app.footer(std::string(varnak::cli::kExitStatusHelp) +
               "\nA termination request (SIGTERM) stops the device cleanly with 0.");
    if (const std::optional<int> code = varnak::cli::ParseCommandLine(app, argc, argv)) {
        return *code;
    }

    ptapsim::Config config = ptapsim::Config::Default();
    std::string error;
    if (!configPath.empty() && !ptapsim::Config::Load(configPath, config, error)) {
        std::cerr << "ptapsim: " << error << "\n";
        return varnak::cli::kExitFailure;
    }
    if (printConfig) {
        std::cout << config.ToText();
        return 0;
    }
    if (socketPath.empty()) {
        std::cerr << "ptapsim: --socket PATH is required\n" << app.help();
        return varnak::cli::kExitUsage;
    }
    if (socketPath.size() < 4 || socketPath.compare(socketPath.size() - 4, 4, "ptap") != 0) {
        std::cerr << "ptapsim: warning: " << socketPath
                  << " does not end with 'ptap'; the transport will not find it\n";
    }

    // The signals are taken by sigwait below, so they are blocked before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ptapsim::Simulator simulator(config);
    if (verbose) {
        simulator.SetLogger(
            [](const std::string& line) { std::fprintf(stderr, "ptapsim: %s\n", line.c_str()); });
    }
    if (!simulator.Start(socketPath, error)) {
        std::cerr << "ptapsim: " << error << "\n";
        return varnak::cli::kExitFailure;
    }
    std::cout << "ptapsim: serving " << socketPath << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    simulator.Stop();
    std::cout << "ptapsim: stopped (" << (received == SIGINT ? "SIGINT" : "SIGTERM") << ")"
              << std::endl;
    return received == SIGINT ? varnak::cli::kExitInterrupted : varnak::cli::kExitSuccess;
}
