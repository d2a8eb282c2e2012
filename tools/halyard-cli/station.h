// Many devices at once: every job runs the single-device path in a child process of its own,
// so each device has its own connection through a device-access library that need not be
// thread-safe, and a crash in it costs that device only. The children report on pipes; this
// process alone writes the output.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "unit.h"

namespace halyard::cli {

struct StationEvents {
    // A line of a job's output, as the job produced it.
    std::function<void(size_t job, const std::string& line, bool error)> line;
    // A job's report (ToJson), when it ended. A child that ended without one (a crash, a
    // signal) is reported failed with the way it ended; one stopped by an interruption is
    // reported "interrupted".
    std::function<void(size_t job, const Json& report)> report;
};

// Runs every job at the same time and returns once all have ended. SIGINT, SIGTERM and SIGHUP
// stop the children; the return value is then false.
bool RunStation(const std::vector<Job>& jobs, const StationEvents& events);

}  // namespace halyard::cli
