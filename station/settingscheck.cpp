#include "settingscheck.h"

#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "record.h"

namespace halyard::station {

namespace {

// A load's messages outside any unit: there are none, as the load is quiet.
class NoDialogs : public IUserDialogs {
  public:
    DialogButton ShowMessage(const DialogRequest&) override { return mbOK; }
    void ShowPlainMessage(const std::string&) override {}
    void AddLogLine(const std::string&) override {}
    void CloseProgram() override {}
};

}  // namespace

SettingsVerdict CheckSettingsFile(const std::string& path, bool strict) {
    SettingsVerdict verdict;
    verdict.path = path;
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    const bool folder = std::filesystem::is_directory(status);
    // A FIFO would hold the station until something writes into it; a device is no file.
    const bool special = std::filesystem::exists(status) && !folder &&
                         !std::filesystem::is_regular_file(status);
    errno = 0;
    std::ifstream in;
    if (!folder && !special) {
        in.open(path, std::ios::binary);
    }
    const int openError = errno;
    if (in.is_open()) {
        // An empty file reads as empty text, to be judged below like any other content.
        verdict.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (folder || special || !in.is_open() || in.bad()) {
        const char* reason = folder           ? "it is a folder"
                             : special        ? "it is not a regular file"
                             : in.is_open()   ? "it cannot be read"
                             : openError != 0 ? std::strerror(openError)
                                              : "it cannot be opened";
        verdict.refusal = "cannot load " + path + ": The file could not be opened (" + reason + ")";
        return verdict;
    }
    verdict.sha256 = Sha256Hex(verdict.text);
    NoDialogs dialogs;
    SettingsModel model(dialogs);
    std::istringstream stream(verdict.text);
    const LoadReport report = LoadSettingsQuietly(model, stream);
    verdict.warnings = report.warnings;
    if (report.result == LoadResult::Stopped) {
        verdict.refusal = "refusing " + path + ": its load stopped: " + report.stopMessage +
                          " No device was touched.";
    } else if (report.settingsApplied == 0) {
        verdict.refusal = "refusing " + path +
                          ": no settings could be loaded from it (is it a settings file?). No "
                          "device was touched.";
    } else if (strict && !report.warnings.empty()) {
        verdict.refusal = "refusing " + path +
                          " under --strict: " + std::to_string(report.warnings.size()) +
                          " warning(s)";
        if (!report.missingKeys.empty()) {
            verdict.refusal +=
                "; the entries " + KeyRangesText(report.missingKeys) + " are missing";
        }
        verdict.refusal += ". No device was touched.";
    }
    return verdict;
}

}  // namespace halyard::station
