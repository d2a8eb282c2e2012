// quillon: PTAP messages from the command line, for engineers at a bench.
//
//   quillon [--json] [--dir DIR] hifs
//   quillon [--json] [--dir DIR] services
//   quillon [--json] [--dir DIR] stats FIRST ID...
//   quillon [--json] [--dir DIR] service map|unmap|start|stop|available|unavailable ID
//   quillon [--json] [--dir DIR] qpair attach A B C VALUE | qpair detach A B
//   quillon [--json] [--dir DIR] data CLASS SID CONID HEXBYTES
//   quillon [--json] [--dir DIR] ptest VALUE PATH
//
// Numbers are decimal or 0x hexadecimal. Exit code 0 on success, 1 when the device cannot be
// reached or answers with a failure (the status word and the recorded error are printed),
// 2 for a usage error, 130 when interrupted (SIGINT or SIGTERM).
#include <quillon/ptapmessages.h>
#include <transports/transport.h>

#include <ostrel/ostrel.h>

#include <varnakcli.h>
#include <nlohmann/json.hpp>

#include "quillonargs.h"

#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace quillon_tool;
using comm::ptap::CBasePtapMessage;

struct Options {
    bool json = false;
    std::string dir;
};

using Json = nlohmann::ordered_json;

// One JSON object and a line end; text that is not UTF-8 (a device's names) gets replacement
// characters instead of failing.
std::string JsonLine(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string StatusText(uint32_t status) {
    switch (status) {
        case CBasePtapMessage::PTAP_STATUS_SUCCESS:
            return "success";
        case CBasePtapMessage::PTAP_STATUS_TIMEOUT:
            return "receive failed";
        case CBasePtapMessage::PTAP_STATUS_INVALID_RESPONSE:
            return "invalid response";
        case CBasePtapMessage::PTAP_STATUS_SEND_FAILED:
            return "send failed";
        default:
            return "device status";
    }
}

std::string RecordedError() {
    return CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_COMMUNICATION, "quillon")
        .GetErrorMsg();
}

// Reports a failure on stderr (and as JSON on stdout) and gives the exit code 1.
int Fail(const Options& options, const std::string& what, uint32_t status, bool haveStatus,
         std::string error) {
    if (error.empty()) {
        error = haveStatus ? "the device answered with status " + std::to_string(status) : what;
    }
    char statusWord[16];
    std::snprintf(statusWord, sizeof statusWord, "0x%04x", status);
    std::cerr << "quillon: " << what << " failed";
    if (haveStatus) {
        std::cerr << ": status " << statusWord << " (" << StatusText(status) << ")";
    }
    std::cerr << ": " << error << "\n";
    if (options.json) {
        Json j = {{"ok", false}, {"message", what}};
        if (haveStatus) {
            j["status"] = status;
            j["statusText"] = StatusText(status);
        }
        j["error"] = error;
        std::cout << JsonLine(j);
    }
    return 1;
}

// Sends `message`; on failure reports it and returns false.
bool SendOrReport(CBasePtapMessage& message, const Options& options, const std::string& what,
                  int& exitCode) {
    CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_COMMUNICATION, "quillon").Clear();
    if (message.Send()) {
        return true;
    }
    exitCode = Fail(options, what, message.Status(), true, RecordedError());
    return false;
}

// The interface folder the transport will search, for messages.
std::string InterfaceDir(const Options& options) {
    if (!options.dir.empty()) {
        return options.dir;
    }
    const char* fromEnvironment = std::getenv("PTAP_INTERFACE_DIR");
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : "/dev/ptap";
}

int ConnectOrReport(const Options& options) {
    using comm::trans::CTransport;
    std::string connection = "trans=ptap";
    if (!options.dir.empty()) {
        connection += ";dir=" + options.dir;
    }
    CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_COMMUNICATION, "quillon").Clear();
    if (CTransport::Ref().Init(connection)) {
        return 0;
    }
    std::string error = RecordedError();
    if (error.empty()) {
        error =
            "no PTAP device interface (a socket or character device whose path ends with "
            "'ptap') in " +
            InterfaceDir(options);
    }
    return Fail(options, "connecting to the PTAP device", 0, false, error);
}

void PrintStatusOnly(const Options& options, const std::string& what) {
    if (options.json) {
        std::cout << JsonLine({{"ok", true}, {"message", what}, {"status", 0}});
    } else {
        std::cout << what << ": ok\n";
    }
}

int Hifs(const Options& options) {
    comm::ptap::CQueryHifs query;
    int code = 0;
    if (!SendOrReport(query, options, "PTAP_QUERY_HIFS", code)) {
        return code;
    }
    std::ostringstream out;
    if (options.json) {
        Json hifs = Json::array();
        for (const auto& [id, hif] : query.Hifs()) {
            hifs.push_back({{"id", id}, {"kind", hif.hifKind}, {"name", hif.hifName}});
        }
        out << JsonLine({{"ok", true}, {"hifs", hifs}});
    } else {
        char line[96];
        out << "ID   KIND  NAME\n";
        for (const auto& [id, hif] : query.Hifs()) {
            std::snprintf(line, sizeof line, "%-4u %-5d %s\n", id, hif.hifKind,
                          hif.hifName.c_str());
            out << line;
        }
        out << query.Hifs().size() << " host interface(s)\n";
    }
    std::cout << out.str();
    return 0;
}

int Services(const Options& options) {
    comm::ptap::CQueryServices query;
    int code = 0;
    if (!SendOrReport(query, options, "PTAP_QUERY_SERVICES", code)) {
        return code;
    }
    std::ostringstream out;
    if (options.json) {
        Json services = Json::array();
        for (const auto& [id, s] : query.Services()) {
            services.push_back({{"id", id},
                                {"word1", s.word1},
                                {"word2", s.word2},
                                {"low7", s.low7},
                                {"bit7", s.bit7},
                                {"word4", s.word4}});
        }
        out << JsonLine({{"ok", true}, {"services", services}});
    } else {
        char line[96];
        out << "ID     WORD1   WORD2  LOW7  BIT7  WORD4\n";
        for (const auto& [id, s] : query.Services()) {
            std::snprintf(line, sizeof line, "%-6u 0x%04x  %-6d %-5d %-5d %u\n", id, s.word1,
                          s.word2, s.low7, s.bit7 ? 1 : 0, s.word4);
            out << line;
        }
        out << query.Services().size() << " service(s)\n";
    }
    std::cout << out.str();
    return 0;
}

int Stats(const Options& options, uint16_t first, const std::vector<unsigned short>& counters) {
    comm::ptap::CQueryStats query(first, counters.data(), static_cast<unsigned>(counters.size()));
    int code = 0;
    if (!SendOrReport(query, options, "PTAP_QUERY_STATS", code)) {
        return code;
    }
    std::ostringstream out;
    if (options.json) {
        Json stats = Json::array();
        for (const auto& [id, value] : query.Stats()) {
            stats.push_back({{"id", id}, {"value", value}});
        }
        out << JsonLine({{"ok", true}, {"stats", stats}});
    } else {
        out << "ID     VALUE\n";
        for (const auto& [id, value] : query.Stats()) {
            char line[64];
            std::snprintf(line, sizeof line, "%-6u %llu\n", id,
                          static_cast<unsigned long long>(value));
            out << line;
        }
    }
    std::cout << out.str();
    return 0;
}

template <typename Message, typename... Args>
int StatusOnly(const Options& options, const std::string& what, Args... args) {
    Message message(args...);
    int code = 0;
    if (!SendOrReport(message, options, what, code)) {
        return code;
    }
    PrintStatusOnly(options, what);
    return 0;
}

int Service(const Options& options, const std::string& operation, uint16_t service) {
    using namespace comm::ptap;
    if (operation == "map") {
        return StatusOnly<CServiceMap>(options, "PTAP_SERVICE_MAP", service);
    }
    if (operation == "unmap") {
        return StatusOnly<CServiceUnmap>(options, "PTAP_SERVICE_UNMAP", service);
    }
    if (operation == "start") {
        return StatusOnly<CServiceStart>(options, "PTAP_SERVICE_START", service);
    }
    if (operation == "stop") {
        return StatusOnly<CServiceStop>(options, "PTAP_SERVICE_STOP", service);
    }
    if (operation == "available") {
        return StatusOnly<CServiceAvailable>(options, "PTAP_SERVICE_AVAILABLE", service);
    }
    return StatusOnly<CServiceUnavailable>(options, "PTAP_SERVICE_UNAVAILABLE", service);
}

int Data(const Options& options, uint16_t dataClass, uint16_t sid, uint16_t conId,
         const std::vector<unsigned char>& payload) {
    comm::ptap::CDataDown message(dataClass, sid, conId, payload.data(),
                                  static_cast<unsigned>(payload.size()));
    int code = 0;
    if (!SendOrReport(message, options, "PTAP_DATA_DOWN", code)) {
        return code;
    }
    const comm::ptap::CDataUp* up = message.Response();
    if (up == nullptr) {
        return Fail(options, "PTAP_DATA_DOWN", message.Status(), true,
                    "the device answered without a DATA_UP indication");
    }
    if (options.json) {
        std::cout << JsonLine({{"ok", true},
                               {"class", up->Class()},
                               {"sid", up->Sid()},
                               {"conid", up->ConId()},
                               {"payload", Hex(up->Payload(), "")}});
    } else {
        std::cout << "DATA_UP class " << up->Class() << " sid " << up->Sid() << " conid "
                  << up->ConId() << ", " << up->Payload().size() << " byte(s)";
        if (!up->Payload().empty()) {
            std::cout << ": " << Hex(up->Payload(), " ");
        }
        std::cout << "\n";
    }
    return 0;
}

// A message may wait seconds for its answer; an interrupt ends the wait and the program.
extern "C" void OnInterrupt(int) {
    _exit(varnak::cli::kExitInterrupted);
}

// How the device is found, for the program's --help: what the tool passes to the transport,
// and so what a program's own connection string must hold.
constexpr const char* kConnectionHelp =
    "The tool connects with the connection string \"trans=ptap;dir=DIR\" (\"trans=ptap\" "
    "without --dir). A connection string holds KEY=VALUE pairs separated by ';': trans=ptap "
    "chooses the PTAP transport and must be there; dir=DIR names the folder whose first entry "
    "(in name order) with a path ending in 'ptap' is the device, by default $PTAP_INTERFACE_DIR, "
    "else /dev/ptap. A string holding dir alone is refused (\"Unknown protocol: \"); an empty "
    "one means \"trans=ptap\".";

// --help of the program and of every command ends with the exit codes.
void AddExitStatusFooter(CLI::App& app) {
    app.footer(varnak::cli::kExitStatusHelp);
    for (CLI::App* command : app.get_subcommands({})) {
        AddExitStatusFooter(*command);
    }
}

}  // namespace

int main(int argc, char** argv) {
    varnak::cli::KeepWorkingWhenOutputCloses();
    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
    std::setlocale(LC_ALL, "");  // paths for ptest are converted from the user's character set
    CLI::App app{"Send PTAP messages to the device behind the PTAP driver"};
    app.set_version_flag("--version", VARNAK_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    Options options;
    app.add_flag("--json", options.json, "Print results as JSON");
    app.add_option("--dir", options.dir,
                   "Folder of the device interfaces (default: $PTAP_INTERFACE_DIR or /dev/ptap)");

    // Each command's callback checks its arguments and leaves the work in `run`, so that a
    // usage error is reported before the device is touched.
    std::function<int()> run;

    auto* hifs = app.add_subcommand("hifs", "List the host interfaces");
    hifs->callback([&] { run = [&] { return Hifs(options); }; });

    auto* services = app.add_subcommand("services", "List the services");
    services->callback([&] { run = [&] { return Services(options); }; });

    std::string first;
    std::vector<std::string> ids;
    auto* stats = app.add_subcommand("stats", "Read statistics counters");
    stats->add_option("FIRST", first, "First word of the request, passed as given")->required();
    stats->add_option("ID", ids, "Counter ids")->required();
    stats->callback([&] {
        std::vector<unsigned short> counters;
        for (const std::string& id : ids) {
            counters.push_back(Word(id, "ID"));
        }
        run = [&options, firstWord = Word(first, "FIRST"), counters] {
            return Stats(options, firstWord, counters);
        };
    });

    std::string operation;
    std::string serviceId;
    auto* service =
        app.add_subcommand("service", "Map, unmap, start or stop a service, or mark it available");
    service->add_option("OPERATION", operation, "map, unmap, start, stop, available or unavailable")
        ->required()
        ->check(CLI::IsMember({"map", "unmap", "start", "stop", "available", "unavailable"}));
    service->add_option("ID", serviceId, "Service id")->required();
    service->callback([&] {
        run = [&options, &operation, id = Word(serviceId, "ID")] {
            return Service(options, operation, id);
        };
    });

    auto* qpair = app.add_subcommand("qpair", "Attach or detach a queue pair");
    qpair->require_subcommand(1);
    std::string a, b, c, value;
    auto* attach = qpair->add_subcommand("attach", "Attach a queue pair: A B C VALUE");
    attach->add_option("A", a)->required();
    attach->add_option("B", b)->required();
    attach->add_option("C", c)->required();
    attach->add_option("VALUE", value, "32-bit value")->required();
    attach->callback([&] {
        run = [&options, wa = Word(a, "A"), wb = Word(b, "B"), wc = Word(c, "C"),
               v = static_cast<uint32_t>(ParseNumber(value, "VALUE", 0xffffffffUL))] {
            return StatusOnly<comm::ptap::CQueuePairAttach>(options, "PTAP_QUEUE_PAIR_ATTACH", wa,
                                                            wb, wc, v);
        };
    });
    auto* detach = qpair->add_subcommand("detach", "Detach a queue pair: A B");
    detach->add_option("A", a)->required();
    detach->add_option("B", b)->required();
    detach->callback([&] {
        run = [&options, wa = Word(a, "A"), wb = Word(b, "B")] {
            return StatusOnly<comm::ptap::CQueuePairDetach>(options, "PTAP_QUEUE_PAIR_DETACH", wa,
                                                            wb);
        };
    });

    std::string dataClass, sid, conId, hex;
    auto* data = app.add_subcommand("data", "Send DATA_DOWN and print the DATA_UP it brings");
    data->add_option("CLASS", dataClass)->required();
    data->add_option("SID", sid)->required();
    data->add_option("CONID", conId)->required();
    data->add_option("HEXBYTES", hex, "Payload in hexadecimal, e.g. 0102ff (\"\" for none)")
        ->required();
    data->callback([&] {
        run = [&options, cls = Word(dataClass, "CLASS"), s = Word(sid, "SID"),
               con = Word(conId, "CONID"),
               payload = ParseHex(hex)] { return Data(options, cls, s, con, payload); };
    });

    std::string testValue, path;
    auto* ptest = app.add_subcommand("ptest", "Start a test: VALUE PATH");
    ptest->add_option("VALUE", testValue)->required();
    ptest->add_option("PATH", path)->required();
    ptest->callback([&] {
        run = [&options, v = Word(testValue, "VALUE"), &path] {
            return StatusOnly<comm::ptap::CPtestStart>(options, "PTAP_PTEST_START", v, path);
        };
    });

    AddExitStatusFooter(app);
    app.footer(std::string(kConnectionHelp) + "\n\n" + varnak::cli::kExitStatusHelp);
    try {
        if (const std::optional<int> code = varnak::cli::ParseCommandLine(app, argc, argv)) {
            return *code;
        }
    } catch (const UsageError& e) {
        std::cerr << "quillon: " << e.text << "\nRun with --help for more information.\n";
        return varnak::cli::kExitUsage;
    }
    int code = varnak::cli::kExitFailure;
    try {
        code = ConnectOrReport(options);
        if (code == varnak::cli::kExitSuccess) {
            code = run();
        }
    } catch (const std::exception& e) {
        std::cerr << "quillon: " << e.what() << "\n";
        code = varnak::cli::kExitFailure;
    }
    comm::trans::CTransport::Ref().Deinit();
    return varnak::cli::ExitCodeAfterOutput(code);
}
