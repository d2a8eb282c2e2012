// The programmer's own INI file: only the key "ProgramVersion" of section "Setting" is read.
// A file left by another version of the programmer is moved aside at start-up.
#pragma once

#include <filesystem>
#include <istream>
#include <optional>
#include <string>

#include "dialogs.h"

namespace halyard {

inline constexpr const char* kProgramVersion = "v3.04E";

// The program's own path with its extension replaced by "INI".
std::filesystem::path IniPathFor(const std::filesystem::path& program);

// The value of KEY in [SECTION] (names compared without regard to case), if present.
std::optional<std::string> ReadIniValue(const std::filesystem::path& ini,
                                        const std::string& section, const std::string& key);
// The same for INI text read from a stream.
std::optional<std::string> ReadIniValue(std::istream& in, const std::string& section,
                                        const std::string& key);

// When the INI file names another program version, moves it to the same path with
// "_" + that version + ".INI" in place of its extension (replacing a file of that name) and
// shows a note with both paths. Returns the new path when the file was moved.
std::optional<std::filesystem::path> CheckIniVersion(const std::filesystem::path& ini,
                                                     IUserDialogs& dialogs);

}  // namespace halyard
