// The unit record: what the station stores about every unit operation, refused ones included.
// One JSON object, the same for --json, the log and the databases; its fields are described
// by unit-record.schema.json beside this file.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "unit.h"

namespace halyard::station {

// What the station adds to a unit's report: who made the record, when, with which file.
struct RecordContext {
    std::string station;                        // host name or --station NAME
    std::string settingsFile;                   // program: the file's path
    std::optional<std::string> settingsSha256;  // program: of the file's bytes
};

using WallClock = std::chrono::system_clock;

// id, station, start, end, then the report's fields (ToJson) with settingsFile and
// settingsSha256 after the operation.
Json MakeRecord(const UnitReport& report, const RecordContext& context, WallClock::time_point start,
                WallClock::time_point end);

// UTC to the millisecond: "2026-12-09T15:34:23.125Z".
std::string IsoTime(WallClock::time_point time);
// 32 lower-case hex digits from the system's random source: one per unit operation.
std::string NewRecordId();
// The SHA-256 of the bytes, as 64 lower-case hex digits.
std::string Sha256Hex(const std::string& bytes);
// The machine's host name, for the station field.
std::string HostName();

}  // namespace halyard::station
