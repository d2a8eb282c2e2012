// The settings file a station programs, judged before any unit is touched.
#pragma once

#include <string>
#include <vector>

namespace halyard::station {

struct SettingsVerdict {
    std::string path;                   // as given
    std::string text;                   // the file's bytes
    std::string sha256;                 // of the bytes; empty when the file could not be read
    std::vector<std::string> warnings;  // what the load did not take as written
    std::string refusal;                // why no unit may be programmed with it; empty when it may
};

// Loads the file into a fresh model. It is refused when it cannot be read, nothing can be
// loaded from it, its load stops, or (with `strict`) anything in it gives a warning; the
// refusal under `strict` names the entries the file lacks.
SettingsVerdict CheckSettingsFile(const std::string& path, bool strict);

}  // namespace halyard::station
