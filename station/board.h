// The state a station's display shows: one row per unit with what is known of it, and the
// counters. Fed from the runner's events; the display itself (terminal or plain lines) is the
// program's.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "unit.h"

namespace halyard::station {

struct UnitRow {
    std::string port;
    std::string kind;  // "" until known
    std::string model;
    std::string firmware;  // "" until known, "unknown" when unreadable
    std::string stage = kUntouched;
    std::string result;  // "" while in progress, then "ok", "failed" or "interrupted"
    std::string reason;  // why it failed, when it did
    std::chrono::steady_clock::time_point start;
    double seconds = 0;  // once ended

    bool InProgress() const { return result.empty(); }
    // Seconds since the start, or taken in all once ended.
    double Elapsed(std::chrono::steady_clock::time_point now) const;
};

struct Counters {
    size_t ok = 0;
    size_t failed = 0;  // interrupted units included
    size_t inProgress = 0;
    // ok of the units ended, in percent; 0 before any ended.
    double Yield() const;
};

class Board {
  public:
    void Started(size_t unit, const std::string& port);
    void Progress(size_t unit, const UnitReport& soFar);
    void Finished(size_t unit, const UnitReport& report);

    const std::vector<UnitRow>& Rows() const { return mRows; }
    Counters Count() const;

  private:
    UnitRow& Row(size_t unit);
    void Take(UnitRow& row, const UnitReport& report);
    std::vector<UnitRow> mRows;
};

}  // namespace halyard::station
