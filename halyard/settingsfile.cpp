#include "settingsfile.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string_view>

#include "catalogue.h"
#include "common/atomicfile.h"

namespace halyard {

namespace {

constexpr int kVersionKey = 9999;
constexpr int kModelKey = 9000;
constexpr int kModelVeltra = 3;
constexpr int kModelKordo = 2;
// Written by earlier builds of this program for the remote find-me check box, which the format
// does not carry; ignored without a word, as every loader of the format ignores it.
constexpr int kRemoteFindMeKey = 1056;
// Lines are read in pieces of at most this many characters, as a fixed line buffer would.
constexpr size_t kMaxLineChars = 99;
// "1013=3500" and CR LF: room enough for most entries, so the file text grows at most once.
constexpr size_t kTypicalEntryChars = 12;

// "KEY=VALUE" and CR LF, as "%04d=%d\r\n" writes them (every key has four digits), in one
// append: a file is written entry by entry.
void AppendEntry(std::string& text, int key, int value) {
    char line[32];
    char* at = line;
    for (int divisor = 1000; divisor > 0; divisor /= 10) {
        *at++ = static_cast<char>('0' + key / divisor % 10);
    }
    *at++ = '=';
    at = std::to_chars(at, line + sizeof line - 2, value).ptr;
    *at++ = '\r';
    *at++ = '\n';
    text.append(line, static_cast<size_t>(at - line));
}

int ControlValue(const CatalogueEntry::Control& control) {
    if (const auto* check = std::get_if<CheckBox*>(&control)) {
        return (*check)->checked ? 1 : 0;
    }
    if (const auto* combo = std::get_if<ComboBox*>(&control)) {
        return (*combo)->index;
    }
    if (const auto* upDown = std::get_if<UpDown*>(&control)) {
        return static_cast<int16_t>((*upDown)->position);
    }
    return 0;
}

// A number as the loader reads it, and whether the text said exactly that number.
struct ParsedNumber {
    int value = 0;
    // False when reading stopped before the end of the text ("0x10", "9.7", "9abc") or the
    // number was beyond the int range and held at its end.
    bool exact = true;
};

// A decimal integer: leading blanks skipped, an optional sign, digits up to the first other
// character. Values beyond the int range are held at its ends. Nothing without a digit.
std::optional<ParsedNumber> ParseNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    bool digits = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        digits = true;
        value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL + INT_MAX);
    }
    if (!digits) {
        return std::nullopt;
    }
    value = negative ? -value : value;
    ParsedNumber number;
    number.value = static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
    number.exact =
        number.value == value && text.find_first_not_of(" \t\r\n", i) == std::string_view::npos;
    return number;
}

// The text without the blanks and line end around it, as a warning quotes it.
std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

const std::map<int, const CatalogueEntry*>& EntriesByKey() {
    static const std::map<int, const CatalogueEntry*> byKey = [] {
        std::map<int, const CatalogueEntry*> m;
        for (const CatalogueEntry& e : SettingsCatalogue()) {
            m[e.key] = &e;
        }
        return m;
    }();
    return byKey;
}

void ApplyLineEntry(SettingsModel& model, const CatalogueEntry& entry, int value) {
    const auto line = static_cast<GatewayLine>(entry.line);
    if (line == GatewayLine::RadioPTT) {
        // Always Output, Low, "Radio PTT", pulse 0, whatever the file says.
        model.ForceRadioPTTLine();
        return;
    }
    LineControls& controls = model.Line(line);
    switch (entry.linePart) {
        case LinePart::Direction:
            // As a user's choice would: a new direction brings its own function list, so the
            // function entry that follows picks from the right list. Lines whose direction the
            // window keeps fixed take the file's direction too: a gateway read can show them
            // as inputs, and the file must give back what it saved.
            model.SetLineDirection(line, value);
            break;
        case LinePart::Active:
            controls.active.SelectIndex(value);
            break;
        case LinePart::Function:
            model.LineFunctionChanged(line, value);
            break;
        case LinePart::Pulse:
            controls.pulse.SetPosition(static_cast<int16_t>(value));
            break;
        case LinePart::Reserved:
            break;
    }
}

void ApplyEntry(SettingsModel& model, const CatalogueEntry& entry, int value) {
    if (entry.line >= 0) {
        ApplyLineEntry(model, entry, value);
        return;
    }
    const CatalogueEntry::Control control = entry.Resolve(model);
    if (auto* const* check = std::get_if<CheckBox*>(&control)) {
        (*check)->checked = value == 1;
    } else if (auto* const* combo = std::get_if<ComboBox*>(&control)) {
        (*combo)->SelectIndex(value);  // an index outside the list is left out
    } else if (auto* const* upDown = std::get_if<UpDown*>(&control)) {
        (*upDown)->SetPosition(static_cast<int16_t>(value));  // held to the up-down's range
    }
}

// Reads the next piece of a line: up to the line end (kept) or kMaxLineChars characters.
// Text after a NUL byte is not part of the line, but its line end is.
bool ReadLinePiece(std::istream& in, std::string& line) {
    line.clear();
    if (!in) {
        return false;
    }
    // get stops before the line end, and fails when it stops at once: at the end of the file,
    // or on an empty line, which goes on.
    char piece[kMaxLineChars + 1];
    in.get(piece, sizeof piece, '\n');
    line.assign(piece, static_cast<size_t>(in.gcount()));
    if (in.fail() && !in.eof() && !in.bad()) {
        in.clear();
    }
    if (line.size() < kMaxLineChars && in.peek() == '\n') {
        line.push_back(static_cast<char>(in.get()));
    }
    if (line.empty()) {
        return false;
    }
    if (const auto nul = line.find('\0'); nul != std::string::npos) {
        // The line end stays, so the lines after it keep their numbers.
        const bool ended = line.back() == '\n';
        line.resize(nul);
        if (ended) {
            line.push_back('\n');
        }
    }
    return true;
}

// The lines of a load's report are capped, so a file of another program gives a short list.
constexpr size_t kMaxWarnings = 20;

// Adds a line's warning. `text` makes its text, and is called only while the list has room: a
// file of another program warns on every line.
template <class MakeText>
void Warn(LoadReport& report, int lineNo, const MakeText& text) {
    // A line longer than a line buffer is read in pieces; it gets one warning, not one a piece.
    if (lineNo == report.lastWarnedLine) {
        return;
    }
    report.lastWarnedLine = lineNo;
    if (report.warnings.empty()) {
        // "... and more", then the missing entries and the version
        report.warnings.reserve(kMaxWarnings + 3);
    }
    if (report.warnings.size() < kMaxWarnings) {
        std::string& warning = report.warnings.emplace_back("line ");
        warning += std::to_string(lineNo);
        warning += ": ";
        warning += text();
    } else if (report.warnings.size() == kMaxWarnings) {
        report.warnings.push_back("... and more lines like these");
    }
}

bool IsBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// "0011 (HirosePin2FunctionComboBox) = 9", the value quoted as the file gives it.
std::string EntryText(int key, const CatalogueEntry& entry, std::string_view value) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d (%s) = ", key,
                  entry.name.empty() ? "always 0" : entry.name.c_str());
    return text + std::string(value);
}

LoadReport Load(SettingsModel& model, std::istream& in) {
    LoadReport report;
    std::string line;
    int lineNo = 0;
    bool newLine = true;
    bool anyEntry = false;
    std::vector<bool> seen(SettingsCatalogue().size(), false);
    while (report.result == LoadResult::Loaded && ReadLinePiece(in, line)) {
        if (newLine) {
            ++lineNo;
        }
        newLine = !line.empty() && line.back() == '\n';
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            if (!IsBlank(line)) {
                Warn(report, lineNo, [] { return "not a KEY=VALUE entry; skipped"; });
            }
            continue;
        }
        const auto valueEnd = line.find('=', eq + 1);
        const std::string_view valueText = std::string_view(line).substr(
            eq + 1, valueEnd == std::string::npos ? std::string::npos : valueEnd - eq - 1);
        const std::optional<ParsedNumber> key = ParseNumber(std::string_view(line).substr(0, eq));
        const std::optional<ParsedNumber> value = ParseNumber(valueText);
        if (!key || !value) {
            Warn(report, lineNo, [] { return "not a KEY=VALUE entry of numbers; skipped"; });
            continue;
        }
        anyEntry = true;
        // What the loader made of a value that is not a plain number, for the warning.
        const auto readAs = [&] {
            return value->exact ? std::string() : " read as " + std::to_string(value->value);
        };
        if (key->value == kVersionKey) {
            report.version = value->value;
            if (!value->exact) {
                Warn(report, lineNo,
                     [&] { return "version " + std::string(Trimmed(valueText)) + readAs(); });
            }
        } else if (key->value == kModelKey) {
            const DeviceModel before = model.model;
            if (value->value == kModelVeltra) {
                model.SelectModel(DeviceModel::Veltra);
            } else if (value->value == kModelKordo) {
                model.SelectModel(DeviceModel::Kordo);
            } else {
                report.stopMessage = "This file not for Plus series models.";
                report.result = LoadResult::Stopped;
            }
            if (!value->exact) {
                Warn(report, lineNo,
                     [&] { return "model " + std::string(Trimmed(valueText)) + readAs(); });
            }
            if (model.model != before && report.settingsApplied > 0) {
                Warn(report, lineNo, [&] {
                    return "the model entry resets the " + std::to_string(report.settingsApplied) +
                           " settings before it to the model's defaults";
                });
            }
        } else if (const auto it = EntriesByKey().find(key->value); it != EntriesByKey().end()) {
            const CatalogueEntry& entry = *it->second;
            seen[static_cast<size_t>(it->second - SettingsCatalogue().data())] = true;
            ApplyEntry(model, entry, value->value);
            const CatalogueEntry::Control control = entry.Resolve(model);
            const bool applies = !std::holds_alternative<std::monostate>(control);
            report.settingsApplied += applies ? 1 : 0;
            const int taken = applies ? ControlValue(control) : value->value;
            if (taken != value->value || !value->exact) {
                Warn(report, lineNo, [&] {
                    std::string text = EntryText(key->value, entry, Trimmed(valueText)) + readAs();
                    if (taken != value->value) {
                        text +=
                            (value->exact ? " taken as " : ", taken as ") + std::to_string(taken);
                    }
                    return text;
                });
            }
        } else if (key->value != kRemoteFindMeKey) {
            Warn(report, lineNo,
                 [&] { return "unknown key " + std::to_string(key->value) + "; ignored"; });
        }
    }
    // Entries applied so far stay; the rules keep the controls consistent with them.
    model.ApplyEnablingRules();
    // A file without a single entry is judged by what it holds, not by a version it lacks.
    if (report.result == LoadResult::Loaded && anyEntry) {
        for (size_t i = 0; i < seen.size(); ++i) {
            if (!seen[i]) {
                report.missingKeys.push_back(SettingsCatalogue()[i].key);
            }
        }
        if (!report.missingKeys.empty()) {
            report.warnings.push_back(
                std::to_string(report.missingKeys.size()) + " of the " +
                std::to_string(seen.size()) +
                " settings entries are missing; those settings keep the model's defaults");
        }
        if (report.version > kSettingsFileVersion) {
            report.warnings.push_back("This file is from v" + std::to_string(report.version) +
                                      ", newer than this program's v" +
                                      std::to_string(kSettingsFileVersion) +
                                      ": settings it holds may not be understood.");
        } else if (report.version < kSettingsFileVersion) {
            report.warnings.push_back(VersionWarning(report.version));
        }
    }
    return report;
}

}  // namespace

std::string VersionWarning(int version) {
    return "Warning: This file is from v" + std::to_string(version) +
           " and some newer features may not be updated correctly. Please check carefully.";
}

std::string KeyRangesText(const std::vector<int>& keys) {
    std::string text;
    for (size_t i = 0; i < keys.size();) {
        size_t last = i;
        while (last + 1 < keys.size() && keys[last + 1] == keys[last] + 1) {
            ++last;
        }
        char piece[16];
        if (last == i) {
            std::snprintf(piece, sizeof piece, "%04d", keys[i]);
        } else {
            std::snprintf(piece, sizeof piece, "%04d-%04d", keys[i], keys[last]);
        }
        text += (text.empty() ? "" : ", ") + std::string(piece);
        i = last + 1;
    }
    return text;
}

std::string FormatSettingsFile(SettingsModel& model) {
    std::string text;
    text.reserve((SettingsCatalogue().size() + 2) * kTypicalEntryChars);
    AppendEntry(text, kVersionKey, kSettingsFileVersion);
    AppendEntry(text, kModelKey, model.model == DeviceModel::Veltra ? kModelVeltra : kModelKordo);
    for (const CatalogueEntry& entry : SettingsCatalogue()) {
        AppendEntry(text, entry.key, ControlValue(entry.Resolve(model)));
    }
    return text;
}

bool SaveSettingsFile(SettingsModel& model, const std::filesystem::path& path) {
    const std::string text = FormatSettingsFile(model);
    std::string error;
    const bool ok = varnak::WriteFileAtomically(path, text, &error);
    if (!ok) {
        model.Dialogs().AddLogLine(error);  // why: the message box keeps its own text
        model.Dialogs().ShowPlainMessage("The file could not be saved");
    }
    return ok;
}

LoadResult LoadSettings(SettingsModel& model, std::istream& in) {
    const LoadReport report = Load(model, in);
    // The window shows the stop and the version warning; the other observations are the
    // report's alone.
    if (report.result == LoadResult::Stopped) {
        ShowError(model.Dialogs(), report.stopMessage);
    } else if (report.version < kSettingsFileVersion) {
        ShowError(model.Dialogs(), VersionWarning(report.version));
    }
    return report.result;
}

LoadReport LoadSettingsQuietly(SettingsModel& model, std::istream& in) {
    return Load(model, in);
}

LoadResult LoadSettingsFile(SettingsModel& model, const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    if (!in || std::filesystem::is_directory(path, ec)) {
        model.Dialogs().ShowPlainMessage("The file could not be opened");
        return LoadResult::OpenFailed;
    }
    return LoadSettings(model, in);
}

}  // namespace halyard
