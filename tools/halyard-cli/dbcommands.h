// halyard-cli's questions to the unit-record database (units, report) and `db sync`.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "output.h"

namespace halyard::cli {

struct QuerySettings {
    std::string db;
    std::string log;  // db sync: the spool, as the stations gave it with --log
    std::string serial;
    std::string port;
    std::string station;
    std::string result;
    std::string operation;
    std::string since;
    std::string until;
    size_t limit = 0;
    bool json = false;
    bool csv = false;
};

// The --db option, the same on every subcommand.
CLI::Option* AddDatabaseOption(CLI::App* command, std::string& url);

// Adds `units`, `report` and `db sync` to the program; Run gives the exit code of the one
// that was parsed, or -1 when none was.
class DatabaseCommands {
  public:
    DatabaseCommands(CLI::App& app, Printer& out, Printer& err);
    int Run();

  private:
    int Units();
    int Report();
    int Sync();

    Printer& mOut;
    Printer& mErr;
    QuerySettings mSettings;
    CLI::App* mUnits = nullptr;
    CLI::App* mReport = nullptr;
    CLI::App* mSync = nullptr;
};

}  // namespace halyard::cli
