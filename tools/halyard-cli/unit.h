// One device operation of halyard-cli (a "unit" on the production line): what to do on which
// port, the single-device path that does it, and its report as JSON.
#pragma once

#include <halyard/dialogs.h>
#include <halyard/operations.h>
#include <halyard/ports.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace halyard::cli {

using Json = nlohmann::ordered_json;

enum class Operation { Read, Program, Restart };
const char* OperationName(Operation operation);

struct Job {
    Operation operation = Operation::Read;
    PortEntry port;
    bool reset = false;    // the answer to "Reset device?" after programming
    bool verify = true;    // program: read the record back and compare
    std::string savePath;  // read: the settings file to write, if any
    std::string settings;  // program: the settings file's text, checked before
};

struct Message {
    std::string caption;  // "ERROR", "NOTE"; empty for a plain message box
    std::string text;
    std::string answer;  // the button that answered a question ("Yes", "No")
};

struct UnitReport {
    std::string port;
    Operation operation = Operation::Read;
    std::string result = "failed";  // "ok", "failed" or "interrupted"
    std::string error;              // why it failed: the first error message
    std::optional<DeviceIdentity> identity;
    std::vector<Message> messages;
    std::vector<std::string> log;  // the log entries, time-stamped
    std::vector<uint16_t> read;
    std::vector<uint16_t> written;
    std::vector<uint16_t> readBack;
    std::optional<bool> reset;  // program and restart: whether the device was restarted
    std::string saved;          // read --save: the file written
    double seconds = 0;
};

// One line of JSON; text that is not UTF-8 (a chip name, a file name) gets replacement
// characters instead of failing.
std::string JsonText(const Json& j);

// The report as one JSON object: port, operation, result, error, kind, model, firmware,
// messages, log, read, written, readBack, reset, saved, seconds. Kind, model and firmware are
// null when the identity was not read.
Json ToJson(const UnitReport& report);

// "handset", "gateway", "earlier-series handset", "earlier-series gateway", "unknown".
std::string KindName(int kind);
// "3.04" from the firmware version word.
std::string FirmwareText(uint16_t version);

// Where a unit's output goes while it runs: each line as it comes ("NOTE: ...", a log entry),
// marked when it is an error.
using LineSink = std::function<void(const std::string& line, bool error)>;

// The single-device path: runs the job on its port with the window's checks and messages and
// returns what happened. Lines go to `sink` as they come.
UnitReport RunUnit(const Job& job, const LineSink& sink);

// A report for a unit whose process ended without one.
UnitReport LostUnit(const Job& job, const std::string& result, const std::string& why,
                    double seconds);

}  // namespace halyard::cli
