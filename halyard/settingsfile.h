// Settings files ("wpx"): the state of every stored control as "KEY=VALUE" lines, so a
// configuration can be kept and programmed into other devices.
#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <vector>

#include "settingsmodel.h"

namespace halyard {

inline constexpr int kSettingsFileVersion = 304;
inline constexpr const char* kSettingsFileFilter = "Varnak Files (*.wpx);;All Files (*)";
inline constexpr const char* kSettingsFileExtension = "wpx";

enum class LoadResult {
    Loaded,     // every entry applied (a version warning may have been shown)
    Stopped,    // a model header for no Plus series model ended the load
    OpenFailed  // the file could not be opened
};

// The file's text: 9999 (version), 9000 (model), the handset entries 0001-0054, the gateway
// entries 1001-1055, each line ending in CR LF. The remote find-me check box is not stored.
std::string FormatSettingsFile(SettingsModel& model);

// Writes the file through a temporary file that replaces it only when complete. On failure
// logs why and shows the plain message "The file could not be saved", and returns false.
bool SaveSettingsFile(SettingsModel& model, const std::filesystem::path& path);

// Applies the entries of a settings file to the model, in file order, then the enabling
// rules; warns about files older than this format.
LoadResult LoadSettings(SettingsModel& model, std::istream& in);
LoadResult LoadSettingsFile(SettingsModel& model, const std::filesystem::path& path);

// What a load did, for callers that judge a file before they use it.
struct LoadReport {
    LoadResult result = LoadResult::Loaded;
    int version = 2;          // the 9999 entry; 2 for files without one
    int settingsApplied = 0;  // entries that set a control
    std::string stopMessage;  // why the load stopped, when it did
    // Everything not taken as written, by line ("line 7: unknown key 7777; ignored"; values
    // that are not plain numbers, "0012 (AutoTurnOffTimerUpDown) = 0x10 read as 0"), then how
    // many settings entries the file lacks, then the warning of a file older or newer than
    // this format. A file without a single entry gets no version warning: it holds nothing.
    std::vector<std::string> warnings;
    // The settings entries the file does not hold, in file order.
    std::vector<int> missingKeys;
    int lastWarnedLine = 0;  // each line is warned about once
};

// "Warning: This file is from v2 and some newer features may not be updated correctly. ..."
std::string VersionWarning(int version);
// Keys as four digits, runs of neighbours joined: "0049-0054, 1001-1055".
std::string KeyRangesText(const std::vector<int>& keys);

// The same load as LoadSettings, with its messages in the report instead of dialogs.
LoadReport LoadSettingsQuietly(SettingsModel& model, std::istream& in);

}  // namespace halyard
