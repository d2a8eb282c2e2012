#include "unit.h"

#include <halyard/records.h>
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>

#include <chrono>
#include <cstdio>
#include <sstream>

namespace halyard::station {

namespace {

std::string Hex4(uint16_t word, const char* format = "%04x") {
    char hex[8];
    std::snprintf(hex, sizeof hex, format, word);
    return hex;
}

// The dialogs of one unit: every message and log entry is kept for the report and passed on
// as a line; the question "Reset device?" is answered by the job. An error names the PS key
// that failed every try, when one did (the window keeps its texts as they are).
class UnitDialogs : public IUserDialogs {
  public:
    UnitDialogs(UnitReport& report, const UnitSinks& sinks, bool resetAnswer)
        : mReport(report), mSinks(sinks), mResetAnswer(resetAnswer) {}

    DialogButton ShowMessage(const DialogRequest& request) override {
        Message message{request.caption, request.text, ""};
        DialogButton answer = mbOK;
        const bool error = request.icon == DialogIcon::Error;
        if (error && programmer && programmer->FailedKey()) {
            const uint16_t key = *programmer->FailedKey();
            const auto tries = programmer->Retries().find(key);
            message.text +=
                " (PS key 0x" + Hex4(key, "%04X") + ", " +
                std::to_string(tries == programmer->Retries().end() ? 0 : tries->second) +
                " tries)";
        }
        std::string line = request.caption + ": " + message.text;
        if (request.buttons & mbYes) {
            answer = mResetAnswer ? mbYes : mbNo;
            message.answer = answer == mbYes ? "Yes" : "No";
            line += " " + message.answer + " (--reset)";
            answeredYes = answer == mbYes;
        }
        if (error && firstError.empty()) {
            firstError = message.text;
        }
        mReport.messages.push_back(std::move(message));
        mSinks.line(line, error);
        return answer;
    }
    void ShowPlainMessage(const std::string& text) override {
        if (firstError.empty()) {
            firstError = text;
        }
        mReport.messages.push_back({"", text, ""});
        mSinks.line(text, true);
    }
    void AddLogLine(const std::string& text) override {
        const std::string line = TimestampedLogLine(text);
        mReport.log.push_back(line);
        mSinks.line(line, false);
    }
    // The wrong chip ends the window; here the operation has already failed.
    void CloseProgram() override {}

    // Warnings of the unit go out as lines too.
    void Warn(const std::string& text) {
        mReport.warnings.push_back(text);
        mSinks.line("WARNING: " + text, true);
    }

    const DeviceProgrammer* programmer = nullptr;
    bool answeredYes = false;
    std::string firstError;  // what a failed unit reports as its reason

  private:
    UnitReport& mReport;
    const UnitSinks& mSinks;
    bool mResetAnswer;
};

Json Words(const std::vector<uint16_t>& words) {
    Json list = Json::array();
    for (uint16_t w : words) {
        list.push_back(w);
    }
    return list;
}

std::vector<uint16_t> WordsFrom(const Json& j, const char* field) {
    std::vector<uint16_t> words;
    if (const auto it = j.find(field); it != j.end() && it->is_array()) {
        for (const Json& w : *it) {
            if (w.is_number_unsigned() && w.get<unsigned>() <= 0xFFFF) {
                words.push_back(static_cast<uint16_t>(w.get<unsigned>()));
            }
        }
    }
    return words;
}

std::string StringFrom(const Json& j, const char* field) {
    const auto it = j.find(field);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const char* const* WordNames(int kind) {
    return kind == kKindGateway ? kGatewayWordNames : kHandsetWordNames;
}

std::string KindArticle(int kind) {
    const std::string name = KindName(kind);
    return (name[0] == 'e' || name[0] == 'u' ? "an " : "a ") + name;
}

// The gates before anything is written: "" when the unit may be programmed.
std::string GateRefusal(const Gates& gates, const DeviceIdentity& id) {
    const std::string what =
        KindArticle(id.kind) + " (" +
        (id.modelByte == kModelVeltraByte ? "Veltra Plus" : "Kordo Plus") + ", firmware " +
        (id.versionRead ? FirmwareVersionText(id.version) : std::string("unknown")) + ")";
    if (gates.kind && *gates.kind != id.kind) {
        return "The device is " + what + ", not " + KindArticle(*gates.kind) +
               " as expected (--expect); it was not programmed.";
    }
    if (gates.minimumFirmware && (!id.versionRead || id.version < *gates.minimumFirmware)) {
        return "The device is " + what + "; firmware " +
               FirmwareVersionText(*gates.minimumFirmware) +
               " or newer is required (--min-firmware); it was not programmed.";
    }
    return "";
}

std::string ShortRecordText(size_t words) {
    return "the device's settings record holds " + std::to_string(words) + " of its " +
           std::to_string(kRecordWords) + " words; the missing words read as 0";
}

}  // namespace

const char* OperationName(Operation operation) {
    switch (operation) {
        case Operation::Read:
            return "read";
        case Operation::Program:
            return "program";
        case Operation::Restart:
            return "restart";
    }
    return "";
}

const char* StageName(Stage stage) {
    switch (stage) {
        case Stage::Connected:
            return "connected";
        case Stage::IdentityRead:
            return "identity read";
        case Stage::RecordRead:
            return "record read";
        case Stage::Written:
            return "written";
        case Stage::Verified:
            return "verified";
        case Stage::Restarted:
            return "restarted";
    }
    return kUntouched;
}

std::string ActivityAfter(const std::string& stage, Operation operation) {
    if (stage == kUntouched) {
        return "connecting";
    }
    if (stage == "connected") {
        return operation == Operation::Restart ? "restarting" : "reading the identity";
    }
    if (stage == "identity read") {
        return "reading the settings record";
    }
    if (stage == "record read") {
        return operation == Operation::Read ? "saving" : "writing";
    }
    if (stage == "written") {
        return "verifying";
    }
    if (stage == "verified") {
        return "restarting";
    }
    return "closing";
}

std::string KindName(int kind) {
    switch (kind) {
        case kKindHandset:
            return "handset";
        case kKindGateway:
            return "gateway";
        case kKindOldHandset:
            return "earlier-series handset";
        case kKindOldGateway:
            return "earlier-series gateway";
        default:
            return "unknown";
    }
}

std::string JsonText(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ToJson(const UnitReport& report) {
    Json j;
    j["port"] = report.port.empty() ? Json() : Json(report.port);
    j["operation"] = OperationName(report.operation);
    if (report.dryRun) {
        j["dryRun"] = true;
    }
    if (report.identity) {
        const DeviceIdentity& id = *report.identity;
        j["identity"] = id.word;
        j["kind"] = KindName(id.kind);
        j["model"] = id.modelByte == kModelVeltraByte ? "Veltra Plus" : "Kordo Plus";
        j["firmware"] = id.versionRead ? Json(FirmwareVersionText(id.version)) : Json();
    } else {
        j["identity"] = j["kind"] = j["model"] = j["firmware"] = nullptr;
    }
    std::string serial;
    for (uint16_t w : report.address) {
        serial += Hex4(w, "%04X");
    }
    j["serial"] = serial.empty() ? Json() : Json(serial);
    j["stage"] = report.stage;
    Json retries = Json::object();
    for (const auto& [key, count] : report.retries) {
        retries[Hex4(key)] = count;
    }
    j["retries"] = std::move(retries);
    j["read"] = Words(report.read);
    j["written"] = Words(report.written);
    j["readBack"] = Words(report.readBack);
    if (report.dryRun) {
        Json changes = Json::array();
        for (const WordChange& c : report.changes) {
            changes.push_back({{"word", c.word}, {"name", c.name}, {"from", c.from}, {"to", c.to}});
        }
        j["changes"] = std::move(changes);
    }
    j["result"] = report.result;
    j["error"] = report.error.empty() ? Json() : Json(report.error);
    j["warnings"] = report.warnings;
    Json messages = Json::array();
    for (const Message& m : report.messages) {
        Json message = {{"caption", m.caption}, {"text", m.text}};
        if (!m.answer.empty()) {
            message["answer"] = m.answer;
        }
        messages.push_back(std::move(message));
    }
    j["messages"] = std::move(messages);
    j["log"] = report.log;
    j["reset"] = report.reset ? Json(*report.reset) : Json();
    j["saved"] = report.saved.empty() ? Json() : Json(report.saved);
    j["seconds"] = static_cast<double>(static_cast<long long>(report.seconds * 1000 + 0.5)) / 1000;
    return j;
}

UnitReport FromJson(const Json& j) {
    UnitReport report;
    if (!j.is_object()) {
        return report;
    }
    report.port = StringFrom(j, "port");
    const std::string operation = StringFrom(j, "operation");
    report.operation = operation == "program"   ? Operation::Program
                       : operation == "restart" ? Operation::Restart
                                                : Operation::Read;
    report.dryRun = j.value("dryRun", false);
    report.result = StringFrom(j, "result");
    report.error = StringFrom(j, "error");
    report.stage = StringFrom(j, "stage");
    if (const auto id = j.find("identity"); id != j.end() && id->is_number_unsigned()) {
        DeviceIdentity identity;
        identity.word = static_cast<uint16_t>(id->get<unsigned>());
        identity.kind = identity.word >> 8;
        identity.modelByte = identity.word & 0xFF;
        const std::string firmware = StringFrom(j, "firmware");
        identity.versionRead = ParseFirmwareVersion(firmware, identity.version);
        report.identity = identity;
    }
    const std::string serial = StringFrom(j, "serial");
    for (size_t i = 0; i + 4 <= serial.size(); i += 4) {
        report.address.push_back(
            static_cast<uint16_t>(std::strtoul(serial.substr(i, 4).c_str(), nullptr, 16)));
    }
    if (const auto retries = j.find("retries"); retries != j.end() && retries->is_object()) {
        for (const auto& [key, count] : retries->items()) {
            if (count.is_number_integer()) {
                report.retries[static_cast<uint16_t>(std::strtoul(key.c_str(), nullptr, 16))] =
                    count.get<int>();
            }
        }
    }
    if (const auto warnings = j.find("warnings"); warnings != j.end() && warnings->is_array()) {
        for (const Json& w : *warnings) {
            if (w.is_string()) {
                report.warnings.push_back(w.get<std::string>());
            }
        }
    }
    if (const auto messages = j.find("messages"); messages != j.end() && messages->is_array()) {
        for (const Json& m : *messages) {
            report.messages.push_back(
                {StringFrom(m, "caption"), StringFrom(m, "text"), StringFrom(m, "answer")});
        }
    }
    if (const auto log = j.find("log"); log != j.end() && log->is_array()) {
        for (const Json& line : *log) {
            if (line.is_string()) {
                report.log.push_back(line.get<std::string>());
            }
        }
    }
    report.read = WordsFrom(j, "read");
    report.written = WordsFrom(j, "written");
    report.readBack = WordsFrom(j, "readBack");
    if (const auto changes = j.find("changes"); changes != j.end() && changes->is_array()) {
        for (const Json& c : *changes) {
            report.changes.push_back({c.value("word", 0), StringFrom(c, "name"),
                                      c.value<uint16_t>("from", 0), c.value<uint16_t>("to", 0)});
        }
    }
    if (const auto reset = j.find("reset"); reset != j.end() && reset->is_boolean()) {
        report.reset = reset->get<bool>();
    }
    report.saved = StringFrom(j, "saved");
    report.seconds = j.value("seconds", 0.0);
    return report;
}

UnitReport RunUnit(const Job& job, const UnitSinks& sinks) {
    const auto start = std::chrono::steady_clock::now();
    UnitReport report;
    report.port = job.port.name;
    report.operation = job.operation;
    report.dryRun = job.operation == Operation::Program && job.dryRun;
    report.warnings = job.fileWarnings;
    UnitDialogs dialogs(report, sinks, job.reset);
    SettingsModel model(dialogs);
    DeviceProgrammer programmer(model);
    dialogs.programmer = &programmer;
    programmer.SetPort(ChosenPort::From(job.port));
    programmer.verifyAfterWrite = job.verify;
    programmer.dryRun = report.dryRun;
    programmer.readAddress = true;

    // What the programmer knows so far goes into the report, which is sent at every stage.
    const auto takeWhatIsKnown = [&] {
        report.identity = programmer.Identity();
        report.address = programmer.Address();
        report.retries = programmer.Retries();
        report.read = programmer.WordsRead();
        report.written = programmer.WordsWritten();
        report.readBack = programmer.WordsReadBack();
    };
    programmer.hooks.reached = [&](Stage stage) {
        report.stage = StageName(stage);
        takeWhatIsKnown();
        if (sinks.progress) {
            sinks.progress(report);
        }
    };
    programmer.hooks.admitIdentity = [&](const DeviceIdentity& id) {
        if (!id.versionRead) {
            dialogs.Warn("the firmware version could not be read");
        }
        return GateRefusal(job.gates, id);
    };
    programmer.hooks.admitRecord = [&](const std::vector<uint16_t>& record) -> std::string {
        if (record.size() >= static_cast<size_t>(kRecordWords)) {
            return "";
        }
        if (job.strict) {
            return "The device's settings record holds " + std::to_string(record.size()) +
                   " of its " + std::to_string(kRecordWords) +
                   " words (--strict); it was not programmed.";
        }
        dialogs.Warn(ShortRecordText(record.size()));
        return "";
    };

    bool ok = false;
    switch (job.operation) {
        case Operation::Read: {
            ok = programmer.ReadDevice();
            const size_t words = programmer.WordsRead().size();
            if (ok && words < static_cast<size_t>(kRecordWords)) {
                if (job.strict) {
                    ShowError(dialogs, "The device's settings record holds " +
                                           std::to_string(words) + " of its " +
                                           std::to_string(kRecordWords) + " words (--strict).");
                    ok = false;
                } else {
                    dialogs.Warn(ShortRecordText(words));
                }
            }
            if (ok && programmer.Identity() && !programmer.Identity()->versionRead) {
                dialogs.Warn("the firmware version could not be read");
            }
            if (ok && !job.savePath.empty()) {
                ok = SaveSettingsFile(model, job.savePath);
                if (ok) {
                    report.saved = job.savePath;
                    sinks.line("saved " + job.savePath, false);
                }
            }
            break;
        }
        case Operation::Program: {
            // Checked by the caller already; its warnings were shown there.
            std::istringstream in(job.settings);
            LoadSettingsQuietly(model, in);
            // Batch programming: the settings go to whichever device kind is connected.
            model.ToggleSettingsLock();
            ok = programmer.ProgramDevice();
            report.reset = dialogs.answeredYes;
            if (ok && report.dryRun && programmer.Identity()) {
                const char* const* names = WordNames(programmer.Identity()->kind);
                const std::vector<uint16_t>& before = programmer.WordsRead();
                const std::vector<uint16_t>& after = programmer.WordsWritten();
                for (size_t i = 0; i < after.size(); ++i) {
                    const uint16_t from = i < before.size() ? before[i] : 0;
                    if (from != after[i]) {
                        report.changes.push_back({static_cast<int>(i), names[i], from, after[i]});
                        sinks.line("would change word " + std::to_string(i) + " (" + names[i] +
                                       ") " + Hex4(from, "%04X") + " -> " + Hex4(after[i], "%04X"),
                                   false);
                    }
                }
                if (report.changes.empty()) {
                    sinks.line("nothing would change: the device holds these settings", false);
                }
            }
            break;
        }
        case Operation::Restart:
            ok = programmer.RestartDevice();
            report.reset = ok;
            if (!ok) {
                ShowError(dialogs,
                          "Varnak not detected. Check cables and ensure Varnak is in "
                          "programming mode.");
            }
            break;
    }
    report.result = ok ? "ok" : "failed";
    if (!ok) {
        report.error = dialogs.firstError.empty()
                           ? std::string(OperationName(job.operation)) + " failed"
                           : dialogs.firstError;
    }
    takeWhatIsKnown();
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

UnitReport EndedUnit(const Job& job, const std::optional<UnitReport>& last,
                     const std::string& result, const std::string& why, double seconds) {
    UnitReport report;
    if (last) {
        report = *last;
    } else {
        report.port = job.port.name;
        report.operation = job.operation;
        report.dryRun = job.operation == Operation::Program && job.dryRun;
        report.warnings = job.fileWarnings;
    }
    report.result = result;
    report.error = why;
    report.seconds = seconds;
    return report;
}

}  // namespace halyard::station
