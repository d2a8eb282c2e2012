#include "board.h"

#include <halyard/records.h>

namespace halyard::station {

double UnitRow::Elapsed(std::chrono::steady_clock::time_point now) const {
    return InProgress() ? std::chrono::duration<double>(now - start).count() : seconds;
}

double Counters::Yield() const {
    const size_t ended = ok + failed;
    return ended == 0 ? 0 : 100.0 * static_cast<double>(ok) / static_cast<double>(ended);
}

UnitRow& Board::Row(size_t unit) {
    if (unit >= mRows.size()) {
        mRows.resize(unit + 1);
    }
    return mRows[unit];
}

void Board::Take(UnitRow& row, const UnitReport& report) {
    row.stage = report.stage;
    if (report.identity) {
        const DeviceIdentity& id = *report.identity;
        row.kind = KindName(id.kind);
        row.model = id.modelByte == kModelVeltraByte ? "Veltra Plus" : "Kordo Plus";
        row.firmware = id.versionRead ? FirmwareVersionText(id.version) : "unknown";
    }
}

void Board::Started(size_t unit, const std::string& port) {
    UnitRow& row = Row(unit);
    row.port = port;
    row.start = std::chrono::steady_clock::now();
}

void Board::Progress(size_t unit, const UnitReport& soFar) {
    Take(Row(unit), soFar);
}

void Board::Finished(size_t unit, const UnitReport& report) {
    UnitRow& row = Row(unit);
    if (row.port.empty()) {
        row.port = report.port;
        row.start = std::chrono::steady_clock::now();
    }
    Take(row, report);
    row.result = report.result.empty() ? "failed" : report.result;
    row.reason = report.error;
    row.seconds = report.seconds;
}

Counters Board::Count() const {
    Counters counters;
    for (const UnitRow& row : mRows) {
        if (row.port.empty()) {
            continue;  // a unit number not started yet
        }
        if (row.InProgress()) {
            ++counters.inProgress;
        } else if (row.result == "ok") {
            ++counters.ok;
        } else {
            ++counters.failed;
        }
    }
    return counters;
}

}  // namespace halyard::station
