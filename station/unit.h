// One device operation of the station (a "unit" on the production line): what to do on which
// port, the single-device path that does it, and what it learnt, as a record.
#pragma once

#include <halyard/dialogs.h>
#include <halyard/operations.h>
#include <halyard/ports.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halyard::station {

using Json = nlohmann::ordered_json;

enum class Operation { Read, Program, Restart };
const char* OperationName(Operation operation);

// The checks a line puts before programming (--expect, --min-firmware).
struct Gates {
    std::optional<int> kind;                  // kKindHandset or kKindGateway
    std::optional<uint16_t> minimumFirmware;  // a firmware version word
};

struct Job {
    Operation operation = Operation::Read;
    PortEntry port;
    bool reset = false;    // the answer to "Reset device?" after programming
    bool verify = true;    // program: read the record back and compare
    bool dryRun = false;   // program: every check and read, no write
    bool strict = false;   // a short record fails the unit instead of warning
    Gates gates;           // program
    std::string savePath;  // read: the settings file to write, if any
    std::string settings;  // program: the settings file's text, checked before
    // Warnings about the settings file, carried by the unit's record.
    std::vector<std::string> fileWarnings;
};

struct Message {
    std::string caption;  // "ERROR", "NOTE"; empty for a plain message box
    std::string text;
    std::string answer;  // the button that answered a question ("Yes", "No")
};

// "untouched", "connected", "identity read", "record read", "written", "verified", "restarted".
inline constexpr const char* kUntouched = "untouched";
const char* StageName(Stage stage);

// A word that programming changes (or, in a dry run, would change).
struct WordChange {
    int word = 0;
    std::string name;
    uint16_t from = 0;
    uint16_t to = 0;
};

// What a unit did and learnt. The child that runs the unit sends it as it goes, so a unit that
// ends early (interrupted, timed out, crashed) keeps everything known by then.
struct UnitReport {
    std::string port;
    Operation operation = Operation::Read;
    bool dryRun = false;
    std::string result = "failed";  // "ok", "failed" or "interrupted"
    std::string error;              // why it failed: the first error message
    std::string stage = kUntouched;
    std::optional<DeviceIdentity> identity;
    std::vector<uint16_t> address;  // the chip's address: the serial
    std::map<uint16_t, int> retries;
    std::vector<std::string> warnings;
    std::vector<Message> messages;
    std::vector<std::string> log;  // the log entries, time-stamped
    std::vector<uint16_t> read;
    std::vector<uint16_t> written;
    std::vector<uint16_t> readBack;
    std::vector<WordChange> changes;  // dry run: the words programming would change
    std::optional<bool> reset;        // program and restart: whether the device was restarted
    std::string saved;                // read --save: the file written
    double seconds = 0;
};

// One line of JSON; text that is not UTF-8 (a chip name, a file name) gets replacement
// characters instead of failing.
std::string JsonText(const Json& j);

// The unit's part of a record: port (null when there is none), operation, identity, kind, model,
// firmware, serial, stage, retries, read, written, readBack, result, error, warnings, messages,
// log, reset, saved, seconds (and dryRun and changes for a dry run). FromJson reads it back.
Json ToJson(const UnitReport& report);
UnitReport FromJson(const Json& j);

// "handset", "gateway", "earlier-series handset", "earlier-series gateway", "unknown".
std::string KindName(int kind);

// Where a unit's output goes while it runs: each line as it comes ("NOTE: ...", a log entry),
// marked when it is an error; and the report so far, each time the unit reaches a stage.
struct UnitSinks {
    std::function<void(const std::string& line, bool error)> line;
    std::function<void(const UnitReport& soFar)> progress;
};

// The single-device path: runs the job on its port with the window's checks and messages and
// returns what happened.
UnitReport RunUnit(const Job& job, const UnitSinks& sinks);

// A report for a unit that ended without one of its own: what it reported last (or nothing),
// with the way it ended.
UnitReport EndedUnit(const Job& job, const std::optional<UnitReport>& last,
                     const std::string& result, const std::string& why, double seconds);

// What a unit is doing after reaching `stage`, for "timed out after 30 s while writing".
std::string ActivityAfter(const std::string& stage, Operation operation);

}  // namespace halyard::station
