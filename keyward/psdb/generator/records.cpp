#include "records.h"

#include <keyward/psdb/structures.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>

namespace psdb_gen {
namespace {

using keyward::psdb::kStructureCount;
using keyward::psdb::StructureLength;

constexpr uint16_t kReservedKey = 0xFF00;  // the command streams' "delete" marker
constexpr int kMaxBitWidth = 16;

struct Field {
    std::string text;
    bool quoted = false;
};

// Collects "file:line: text" messages for one file.
class Reporter {
  public:
    Reporter(const std::string& path, std::vector<std::string>& errors)
        : mPath(path), mErrors(errors) {}

    void Error(int line, const std::string& text) {
        mErrors.push_back(mPath + ":" + std::to_string(line) + ": " + text);
        ++mCount;
    }
    void FileError(const std::string& text) {
        mErrors.push_back(mPath + ": " + text);
        ++mCount;
    }
    int Count() const { return mCount; }

  private:
    std::string mPath;
    std::vector<std::string>& mErrors;
    int mCount = 0;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsPrintable(char c) {
    return c >= 0x20 && c <= 0x7E;
}

// Splits one line into blank-separated fields. A field in double quotes keeps its blanks and
// may hold \" and \\; '#' outside quotes ends the line. Only printable ASCII is accepted, so
// every text converts to a wide string unchanged.
bool SplitFields(const std::string& line, std::vector<Field>& fields, std::string& error) {
    fields.clear();
    size_t i = 0;
    while (true) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        if (i == line.size() || line[i] == '#') {
            return true;
        }
        Field field;
        if (line[i] == '"') {
            field.quoted = true;
            ++i;
            while (true) {
                if (i == line.size()) {
                    error = "text in double quotes is not closed";
                    return false;
                }
                char c = line[i++];
                if (c == '"') {
                    break;
                }
                if (c == '\\') {
                    if (i == line.size() || (line[i] != '"' && line[i] != '\\')) {
                        error = "a backslash in quotes must be followed by \" or \\";
                        return false;
                    }
                    c = line[i++];
                } else if (!IsPrintable(c)) {
                    error = "only printable ASCII characters are allowed";
                    return false;
                }
                field.text += c;
            }
            if (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
                error = "a closing quote must be followed by a blank";
                return false;
            }
        } else {
            while (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
                if (line[i] == '"' || !IsPrintable(line[i])) {
                    error = "unexpected character in \"" + line.substr(i) + "\"";
                    return false;
                }
                field.text += line[i++];
            }
        }
        fields.push_back(std::move(field));
    }
}

// A decimal number (optionally negative) or a hexadecimal one with a 0x prefix, within
// [low, high].
bool ParseNumber(const Field& field, int64_t low, int64_t high, int64_t& value) {
    if (field.quoted || field.text.empty()) {
        return false;
    }
    const char* first = field.text.data();
    const char* last = first + field.text.size();
    std::from_chars_result result{};
    if (field.text.size() > 2 && field.text[0] == '0' &&
        (field.text[1] == 'x' || field.text[1] == 'X')) {
        uint64_t hex = 0;
        result = std::from_chars(first + 2, last, hex, 16);
        if (result.ec != std::errc() || hex > static_cast<uint64_t>(INT64_MAX)) {
            return false;
        }
        value = static_cast<int64_t>(hex);
    } else {
        result = std::from_chars(first, last, value, 10);
        if (result.ec != std::errc()) {
            return false;
        }
    }
    return result.ptr == last && value >= low && value <= high;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines, Reporter& report) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        report.FileError(std::string("cannot open: ") + std::strerror(errno));
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
    }
    if (in.bad()) {
        report.FileError("cannot read");
        return false;
    }
    return true;
}

// Calls `use(line, fields)` for every line of the file that holds fields; lines that cannot be
// split are reported and skipped.
template <typename Use>
void ForEachRecordLine(const std::string& path, Reporter& report, Use use) {
    std::vector<std::string> lines;
    if (!ReadLines(path, lines, report)) {
        return;
    }
    std::vector<Field> fields;
    std::string error;
    for (size_t n = 0; n < lines.size(); ++n) {
        const int line = static_cast<int>(n + 1);
        if (!SplitFields(lines[n], fields, error)) {
            report.Error(line, error);
        } else if (!fields.empty()) {
            use(line, fields);
        }
    }
}

void LoadEnumLists(const std::string& path, Database& db, Reporter& report) {
    ForEachRecordLine(path, report, [&](int line, const std::vector<Field>& fields) {
        if (!fields[0].quoted && fields[0].text == "list") {
            int64_t index = 0;
            const int64_t expected = static_cast<int64_t>(db.lists.size());
            if (fields.size() != 2 || !ParseNumber(fields[1], 0, INT32_MAX, index)) {
                report.Error(line, "expected \"list N\" with N a list number");
                return;
            }
            if (index != expected) {
                report.Error(line, "lists are numbered 0, 1, 2, ... without gaps: expected list " +
                                       std::to_string(expected) + ", found list " +
                                       std::to_string(index));
                return;
            }
            db.lists.push_back(EnumList{line, {}});
            return;
        }
        if (db.lists.empty()) {
            report.Error(line, "enumerator before the first \"list N\" line");
            return;
        }
        int64_t value = 0;
        if (fields.size() != 2 || !fields[1].quoted) {
            report.Error(line, "expected an enumerator: VALUE \"TEXT\"");
            return;
        }
        if (!ParseNumber(fields[0], INT32_MIN, INT32_MAX, value)) {
            report.Error(line, "enumerator value must be a signed 32-bit number, found \"" +
                                   fields[0].text + "\"");
            return;
        }
        if (fields[1].text.empty()) {
            report.Error(line, "enumerator text is empty");
            return;
        }
        db.lists.back().items.push_back(Enumerator{static_cast<int32_t>(value), fields[1].text});
    });
    for (size_t i = 0; i < db.lists.size(); ++i) {
        if (db.lists[i].items.empty()) {
            report.Error(db.lists[i].line, "list " + std::to_string(i) + " holds no enumerators");
        }
    }
    if (db.lists.empty() && report.Count() == 0) {
        report.FileError("holds no lists");
    }
}

// The columns of keys.txt, in order.
enum Column {
    kKey,
    kKind,
    kIdentifier,
    kStructure,
    kAux,
    kBase,
    kOffset,
    kWidth,
    kConstraint,
    kMinimum,
    kMaximum,
    kPresent,
    kColumnCount
};
constexpr const char* kColumnNames[kColumnCount] = {
    "key",    "kind",  "identifier", "struct",  "aux",     "base",
    "offset", "width", "constraint", "minimum", "maximum", "present"};

// Checks one record on its own; relations between records are checked afterwards.
bool CheckRecord(const KeyRecord& rec, int list_count, Reporter& report) {
    const int errors_before = report.Count();
    const int line = rec.line;
    if (rec.key == kReservedKey) {
        report.Error(line, "key number 0xFF00 is reserved (command streams use it to delete keys)");
    }
    const std::string prefix = "PSKEY_";
    const size_t name_end = rec.identifier.find_last_not_of(' ');
    if (rec.identifier.compare(0, prefix.size(), prefix) != 0 || name_end == std::string::npos ||
        name_end < prefix.size()) {
        report.Error(line, "identifier \"" + rec.identifier +
                               "\" must begin with PSKEY_ and name the key after it");
    } else if (rec.identifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") <=
               name_end) {
        report.Error(line, "identifier \"" + rec.identifier +
                               "\" may hold only capital letters, digits and underscores, "
                               "followed by blanks");
    }
    if (rec.kind == 2) {
        if (rec.base == 0) {
            report.Error(line, "a presentation key (kind 2) needs a base key");
        }
        if (rec.offset % 16 + rec.width > 16) {
            report.Error(line, "a field of width " + std::to_string(rec.width) + " at bit offset " +
                                   std::to_string(rec.offset) + " crosses a word boundary");
        }
        if (StructureLength(rec.structure) != 1) {
            report.Error(line, "a presentation key holds one word, but structure " +
                                   std::to_string(rec.structure) + " is not a one-word structure");
        }
    } else if (rec.base != 0 || rec.offset != 0 || rec.width != 0) {
        report.Error(line, "an ordinary key (kind 0) takes base 0x0000, offset 0 and width 0");
    }
    switch (rec.constraint) {
        case 0:
            if (rec.minimum != 0 || rec.maximum != 0) {
                report.Error(line, "constraint 0 (none) takes minimum 0 and maximum 0");
            }
            break;
        case 1: {
            // A negative minimum makes the maximum a signed bound as well.
            const bool ordered = rec.minimum < 0
                                     ? static_cast<int32_t>(rec.maximum) >= rec.minimum
                                     : rec.maximum >= static_cast<uint32_t>(rec.minimum);
            if (!ordered) {
                report.Error(line, "constraint 1 (range): minimum " + std::to_string(rec.minimum) +
                                       " is above maximum " + std::to_string(rec.maximum));
            }
            break;
        }
        case 2:
            if (rec.maximum != 0) {
                report.Error(line, "constraint 2 (minimum only) takes maximum 0");
            }
            break;
        case 3:
            if (rec.minimum != 0) {
                report.Error(line, "constraint 3 (maximum only) takes minimum 0");
            }
            break;
        case 4:
            if (rec.maximum != 0) {
                report.Error(line, "constraint 4 (enumeration) takes maximum 0");
            }
            if (list_count >= 0 && (rec.minimum < 0 || rec.minimum >= list_count)) {
                report.Error(line, "constraint 4 (enumeration) names list " +
                                       std::to_string(rec.minimum) +
                                       ", but the enumeration lists run from 0 to " +
                                       std::to_string(list_count - 1));
            }
            break;
    }
    return report.Count() == errors_before;
}

// Reads one line of keys.txt into `rec`; false (with the fault reported) when a field is bad.
bool ParseRecord(const std::vector<Field>& fields, int line, KeyRecord& rec, Reporter& report) {
    if (fields.size() != kColumnCount) {
        std::string names;
        for (const char* name : kColumnNames) {
            names += names.empty() ? "" : " ";
            names += name;
        }
        report.Error(line, "expected " + std::to_string(kColumnCount) + " fields (" + names +
                               "), found " + std::to_string(fields.size()));
        return false;
    }
    struct Range {
        int64_t low;
        int64_t high;
    };
    constexpr Range kRanges[kColumnCount] = {{1, 0xFFFF},     {0, 2},
                                             {0, 0},          {0, kStructureCount - 1},
                                             {0, 1},          {0, 0xFFFF},
                                             {0, 0xFFFF},     {0, kMaxBitWidth},
                                             {0, 4},          {INT32_MIN, INT32_MAX},
                                             {0, UINT32_MAX}, {0, 1}};
    int64_t values[kColumnCount] = {};
    bool good = true;
    for (int c = 0; c < kColumnCount; ++c) {
        if (c == kIdentifier) {
            if (!fields[c].quoted) {
                report.Error(line, "identifier must be in double quotes, found " + fields[c].text);
                good = false;
            }
            continue;
        }
        if (!ParseNumber(fields[c], kRanges[c].low, kRanges[c].high, values[c])) {
            report.Error(line, std::string(kColumnNames[c]) + " must be a number from " +
                                   std::to_string(kRanges[c].low) + " to " +
                                   std::to_string(kRanges[c].high) + ", found \"" + fields[c].text +
                                   "\"");
            good = false;
        }
    }
    if (good && values[kKind] == 1) {
        report.Error(line, "kind must be 0 (ordinary) or 2 (presentation), found 1");
        good = false;
    }
    if (!good) {
        return false;
    }
    rec.line = line;
    rec.key = static_cast<uint16_t>(values[kKey]);
    rec.kind = static_cast<int32_t>(values[kKind]);
    rec.identifier = fields[kIdentifier].text;
    rec.structure = static_cast<int32_t>(values[kStructure]);
    rec.aux = static_cast<int32_t>(values[kAux]);
    rec.base = static_cast<uint16_t>(values[kBase]);
    rec.offset = static_cast<uint16_t>(values[kOffset]);
    rec.width = static_cast<uint16_t>(values[kWidth]);
    rec.constraint = static_cast<int32_t>(values[kConstraint]);
    rec.minimum = static_cast<int32_t>(values[kMinimum]);
    rec.maximum = static_cast<uint32_t>(values[kMaximum]);
    rec.present = static_cast<int32_t>(values[kPresent]);
    return true;
}

void LoadKeys(const std::string& path, int list_count, Database& db, Reporter& report) {
    ForEachRecordLine(path, report, [&](int line, const std::vector<Field>& fields) {
        KeyRecord rec;
        if (ParseRecord(fields, line, rec, report) && CheckRecord(rec, list_count, report)) {
            db.keys.push_back(std::move(rec));
        }
    });
    if (db.keys.empty() && report.Count() == 0) {
        report.FileError("holds no records");
    }
}

// Relations between records: unique numbers and identifiers, and base keys that exist, are
// ordinary keys, and are long enough to hold the field.
void CheckRelations(const Database& db, Reporter& report) {
    std::map<uint16_t, const KeyRecord*> by_key;
    std::map<std::string, const KeyRecord*> by_identifier;
    for (const KeyRecord& rec : db.keys) {
        auto [key_at, key_new] = by_key.emplace(rec.key, &rec);
        if (!key_new) {
            report.Error(rec.line, "duplicate key number " + Hex4(rec.key) + " (first on line " +
                                       std::to_string(key_at->second->line) + ")");
        }
        auto [id_at, id_new] = by_identifier.emplace(rec.identifier, &rec);
        if (!id_new) {
            report.Error(rec.line, "duplicate identifier \"" + rec.identifier +
                                       "\" (first on line " + std::to_string(id_at->second->line) +
                                       ")");
        }
    }
    for (const KeyRecord& rec : db.keys) {
        if (rec.kind != 2) {
            continue;
        }
        const auto base = by_key.find(rec.base);
        if (base == by_key.end()) {
            report.Error(rec.line, "base key " + Hex4(rec.base) + " is not in the database");
            continue;
        }
        const KeyRecord& holder = *base->second;
        if (holder.kind != 0) {
            report.Error(rec.line, "base key " + Hex4(rec.base) + " is itself a presentation key");
            continue;
        }
        const int words = StructureLength(holder.structure);
        if (words != keyward::psdb::kVariableLength && rec.offset / 16 >= words) {
            report.Error(rec.line, "the field starts in word " + std::to_string(rec.offset / 16) +
                                       ", but the base key's structure " +
                                       std::to_string(holder.structure) + " holds " +
                                       std::to_string(words) + " word(s)");
        }
    }
}

}  // namespace

std::string Hex4(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

bool LoadDatabase(const std::string& keys_path, const std::string& enums_path, Database& db,
                  std::vector<std::string>& errors) {
    db = Database{};
    Reporter enum_report(enums_path, errors);
    LoadEnumLists(enums_path, db, enum_report);
    // With broken lists, list indices cannot be judged; the list faults are reported instead.
    const int list_count = enum_report.Count() == 0 ? static_cast<int>(db.lists.size()) : -1;
    Reporter key_report(keys_path, errors);
    LoadKeys(keys_path, list_count, db, key_report);
    CheckRelations(db, key_report);
    return errors.empty();
}

}  // namespace psdb_gen
