#include "unit.h"

#include <halyard/records.h>
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>

#include <chrono>
#include <cstdio>
#include <sstream>

namespace halyard::cli {

namespace {

// The dialogs of one unit: every message and log entry is kept for the report and passed on
// as a line; the question "Reset device?" is answered by the job.
class UnitDialogs : public IUserDialogs {
  public:
    UnitDialogs(UnitReport& report, const LineSink& sink, bool resetAnswer)
        : mReport(report), mSink(sink), mResetAnswer(resetAnswer) {}

    DialogButton ShowMessage(const DialogRequest& request) override {
        Message message{request.caption, request.text, ""};
        DialogButton answer = mbOK;
        std::string line = request.caption + ": " + request.text;
        if (request.buttons & mbYes) {
            answer = mResetAnswer ? mbYes : mbNo;
            message.answer = answer == mbYes ? "Yes" : "No";
            line += " " + message.answer + " (--reset)";
            answeredYes = answer == mbYes;
        }
        const bool error = request.icon == DialogIcon::Error;
        if (error && firstError.empty()) {
            firstError = request.text;
        }
        mReport.messages.push_back(std::move(message));
        mSink(line, error);
        return answer;
    }
    void ShowPlainMessage(const std::string& text) override {
        if (firstError.empty()) {
            firstError = text;
        }
        mReport.messages.push_back({"", text, ""});
        mSink(text, true);
    }
    void AddLogLine(const std::string& text) override {
        const std::string line = TimestampedLogLine(text);
        mReport.log.push_back(line);
        mSink(line, false);
    }
    // The wrong chip ends the window; here the operation has already failed.
    void CloseProgram() override {}

    bool answeredYes = false;
    std::string firstError;  // what a failed unit reports as its reason

  private:
    UnitReport& mReport;
    const LineSink& mSink;
    bool mResetAnswer;
};

Json Words(const std::vector<uint16_t>& words) {
    Json list = Json::array();
    for (uint16_t w : words) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", w);
        list.push_back(hex);
    }
    return list;
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

std::string FirmwareText(uint16_t version) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d%d", (version >> 8) & 0xF, (version >> 4) & 0xF,
                  version & 0xF);
    return text;
}

std::string JsonText(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ToJson(const UnitReport& report) {
    Json j;
    j["port"] = report.port;
    j["operation"] = OperationName(report.operation);
    j["result"] = report.result;
    j["error"] = report.error.empty() ? Json() : Json(report.error);
    if (report.identity) {
        j["kind"] = KindName(report.identity->kind);
        j["model"] = report.identity->modelByte == kModelVeltraByte ? "Veltra Plus" : "Kordo Plus";
        j["firmware"] = FirmwareText(report.identity->version);
    } else {
        j["kind"] = j["model"] = j["firmware"] = nullptr;
    }
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
    j["read"] = Words(report.read);
    j["written"] = Words(report.written);
    j["readBack"] = Words(report.readBack);
    j["reset"] = report.reset ? Json(*report.reset) : Json();
    j["saved"] = report.saved.empty() ? Json() : Json(report.saved);
    j["seconds"] = static_cast<double>(static_cast<long long>(report.seconds * 1000 + 0.5)) / 1000;
    return j;
}

UnitReport RunUnit(const Job& job, const LineSink& sink) {
    const auto start = std::chrono::steady_clock::now();
    UnitReport report;
    report.port = job.port.name;
    report.operation = job.operation;
    UnitDialogs dialogs(report, sink, job.reset);
    SettingsModel model(dialogs);
    DeviceProgrammer programmer(model);
    programmer.SetPort(ChosenPort::From(job.port));
    programmer.verifyAfterWrite = job.verify;

    bool ok = false;
    switch (job.operation) {
        case Operation::Read:
            ok = programmer.ReadDevice();
            if (ok && !job.savePath.empty()) {
                ok = SaveSettingsFile(model, job.savePath);
                if (ok) {
                    report.saved = job.savePath;
                    sink("saved " + job.savePath, false);
                }
            }
            break;
        case Operation::Program: {
            // Checked by the caller already; its warnings were shown there.
            std::istringstream in(job.settings);
            LoadSettingsQuietly(model, in);
            // Batch programming: the settings go to whichever device kind is connected.
            model.ToggleSettingsLock();
            ok = programmer.ProgramDevice();
            report.reset = dialogs.answeredYes;
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
    report.identity = programmer.Identity();
    report.read = programmer.WordsRead();
    report.written = programmer.WordsWritten();
    report.readBack = programmer.WordsReadBack();
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

UnitReport LostUnit(const Job& job, const std::string& result, const std::string& why,
                    double seconds) {
    UnitReport report;
    report.port = job.port.name;
    report.operation = job.operation;
    report.result = result;
    report.error = why;
    report.seconds = seconds;
    return report;
}

}  // namespace halyard::cli
