// Many units at once: every unit runs the single-device path in a child process of its own, so
// each device has its own connection through a device-access library that need not be
// thread-safe, and a crash or a hang in it costs that unit only. The children report on pipes;
// this process alone claims ports, keeps time and hands on what the children said.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "portclaim.h"
#include "record.h"
#include "unit.h"

namespace halyard::station {

struct RunnerOptions {
    double timeoutSeconds = 0;           // a unit running longer is ended and fails; 0: no limit
    size_t maxUnits = 0;                 // units at once; 0: every unit at once
    int tickMs = 200;                    // how often `tick` is called while units run
    int watchPollMs = 200;               // watch: how often the port listing is read
    const PortClaims* claims = nullptr;  // each unit's port is claimed first; null: no claims
};

// What the runner tells as it goes, all on the calling thread. `unit` counts the units from 0 in
// the order they were queued.
struct RunnerEvents {
    std::function<void(size_t unit, const Job& job)> started;
    std::function<void(size_t unit, const std::string& line, bool error)> line;
    std::function<void(size_t unit, const UnitReport& soFar)> progress;
    // Every unit ends here exactly once: with its own report, or with one the runner made (a
    // refused claim, a time-out, a crash, an interruption) from what the unit told last.
    std::function<void(size_t unit, const UnitReport& report, WallClock::time_point start,
                       WallClock::time_point end)>
        finished;
    std::function<void()> tick;
};

class Runner {
  public:
    Runner(RunnerOptions options, RunnerEvents events);

    // Runs the jobs and returns once all have ended. SIGINT, SIGTERM and SIGHUP interrupt the
    // units in progress and those not started; the return value is then false.
    bool Run(const std::vector<Job>& jobs);

    // Watches the port listing: every port that appears and `jobFor` gives a job for is served
    // once, and again only after it has gone from the listing and come back. The first stop
    // signal stops taking new units and lets those in progress finish; a second interrupts
    // them. Returns false when units were interrupted.
    bool Watch(const std::function<std::optional<Job>(const PortEntry& port)>& jobFor);

  private:
    struct Loop;
    RunnerOptions mOptions;
    RunnerEvents mEvents;
};

}  // namespace halyard::station
