#include "record.h"

#include <nettle/sha2.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

namespace halyard::station {

namespace {

std::string Hex(const uint8_t* bytes, size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace

std::string IsoTime(WallClock::time_point time) {
    const auto ms = std::chrono::time_point_cast<std::chrono::milliseconds>(time);
    const std::time_t seconds = WallClock::to_time_t(std::chrono::floor<std::chrono::seconds>(ms));
    const long long millis = (ms.time_since_epoch().count() % 1000 + 1000) % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

std::string NewRecordId() {
    uint8_t bytes[16] = {};
    size_t done = 0;
    while (done < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + done, sizeof bytes - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // not on a kernel this old; the id would not be unique
        }
        done += static_cast<size_t>(n);
    }
    return Hex(bytes, sizeof bytes);
}

std::string Sha256Hex(const std::string& bytes) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    return Hex(digest, sizeof digest);
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

Json MakeRecord(const UnitReport& report, const RecordContext& context, WallClock::time_point start,
                WallClock::time_point end) {
    Json record;
    record["id"] = NewRecordId();
    record["station"] = context.station;
    record["start"] = IsoTime(start);
    record["end"] = IsoTime(end);
    const Json unit = ToJson(report);
    for (const auto& [field, value] : unit.items()) {
        record[field] = value;
        if (field == "operation") {
            record["settingsFile"] =
                context.settingsFile.empty() ? Json() : Json(context.settingsFile);
            record["settingsSha256"] =
                context.settingsSha256 ? Json(*context.settingsSha256) : Json();
        }
    }
    return record;
}

}  // namespace halyard::station
