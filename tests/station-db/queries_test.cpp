// `halyard-cli units` and `halyard-cli report` on a known set of runs: two lines' stations, a
// cradle that fails every second unit, a key that needed a retry, reads and restarts, and
// station names a spreadsheet would take for formulas.
#include <algorithm>
#include <set>

#include "dbfixture.h"

namespace halyard::dbtest {
namespace {

// One CSV line's cells (quoted cells may hold commas and doubled quotes).
std::vector<std::string> CsvCells(const std::string& line) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cells.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cells.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            cells.emplace_back();
        } else if (c != '\r') {
            cells.back() += c;
        }
    }
    return cells;
}

// The lines of CSV text, which ends them with CR LF or LF.
std::vector<std::string> CsvLines(const std::string& text) {
    std::vector<std::string> lines = Lines(text);
    for (std::string& line : lines) {
        if (line.ends_with('\r')) {
            line.pop_back();
        }
    }
    return lines;
}

// What a spreadsheet shows for a text value: one that it would read as a formula is kept
// as text with a leading quote.
std::string AsText(const std::string& value) {
    return !value.empty() && std::string("=+-@\t\r").find(value[0]) != std::string::npos
               ? "'" + value
               : value;
}

std::string Text(const Json& value) {
    return value.is_string() ? value.get<std::string>() : "";
}

class DbQueriesTest : public DatabaseTest {
  protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        const std::string file = StealthFile();
        for (const char* name : {"P1", "P2", "FLAKY", "Q1"}) {
            Create(name, "--kind handset --model veltra --delay 5");
        }
        log = Path("units.jsonl");
        const std::string db = " --plain --log " + log + " --db " + Quote(url);
        const std::string line1 = "program " + file + " --port P1 --port P2 --port FLAKY --station line-1";
        // FLAKY fails the first and the third run; P2 needs one retry in the second.
        const auto run = [&](const std::string& args, int expected) {
            const size_t before = JsonLines(test::ReadText(log)).size();
            const test::Outcome outcome = Station(args + db);
            EXPECT_EQ(outcome.status, expected) << args << ": " << outcome.output;
            EXPECT_TRUE(DatabaseTrouble(outcome.err).empty()) << outcome.err;
            const std::vector<Json> all = JsonLines(test::ReadText(log));
            runs.emplace_back(all.begin() + static_cast<long>(before), all.end());
        };
        Append("FLAKY", "fail-write 02ab 3\n");
        run(line1, 1);
        Append("P2", "fail-write 02ab 1\n");
        run(line1, 0);
        Append("FLAKY", "fail-write 02ab 3\n");
        run(line1, 1);
        run(line1, 0);
        run("read --port Q1 --station line-2", 0);
        run("read --port Q1 --station line-2", 0);
        run("restart --port P1 --station =cmd", 0);
        run("restart --port P2 --station=@sum", 0);
        for (const auto& r : runs) {
            all.insert(all.end(), r.begin(), r.end());
        }
        ASSERT_EQ(all.size(), 16u) << test::ReadText(log);
        // The third run's start: --since keeps it, --until leaves it out.
        third = runs[2][0].at("start");
        for (const Json& record : runs[2]) {
            third = std::min(third, record.at("start").get<std::string>());
        }
    }

    // The records `units` prints with these options, as --json gives them.
    std::vector<Json> Units(const std::string& options) {
        const test::Outcome run = Station("units --db " + Quote(url) + " --json " + options);
        EXPECT_EQ(run.status, 0) << options << ": " << run.output;
        std::vector<Json> records = JsonLines(run.out);
        for (size_t i = 1; i < records.size(); ++i) {
            EXPECT_GE(records[i - 1].at("start").get<std::string>(),
                      records[i].at("start").get<std::string>())
                << options << ": newest first";
        }
        return records;
    }

    // The ids of the records that satisfy `keep`, as a set.
    template <class Keep>
    std::set<std::string> IdsWhere(const Keep& keep) const {
        std::set<std::string> ids;
        for (const Json& record : all) {
            if (keep(record)) {
                ids.insert(record.at("id"));
            }
        }
        return ids;
    }
    // The record of `port` among a run's.
    static const Json& Of(const std::vector<Json>& run, const std::string& port) {
        for (const Json& record : run) {
            if (record.at("port") == port) {
                return record;
            }
        }
        static const Json none = Json::object();
        ADD_FAILURE() << "no record of " << port;
        return none;
    }
    static std::set<std::string> IdSet(const std::vector<Json>& records) {
        const std::vector<std::string> ids = Ids(records);
        return {ids.begin(), ids.end()};
    }

    Json Report(const std::string& options) {
        const test::Outcome run = Station("report --db " + Quote(url) + " --json " + options);
        EXPECT_EQ(run.status, 0) << options << ": " << run.output;
        return Json::parse(run.out, nullptr, false);
    }
    static const Json& Entry(const Json& list, const Json& key) {
        for (const Json& entry : list) {
            bool match = true;
            for (const auto& [name, value] : key.items()) {
                match = match && entry.contains(name) && entry.at(name) == value;
            }
            if (match) {
                return entry;
            }
        }
        static const Json none = Json::object();
        ADD_FAILURE() << "no entry " << key << " in " << list;
        return none;
    }
    static void ExpectFigures(const Json& entry, int units, int ok, int failed) {
        EXPECT_EQ(entry.value("units", -1), units) << entry;
        EXPECT_EQ(entry.value("ok", -1), ok) << entry;
        EXPECT_EQ(entry.value("failed", -1), failed) << entry;
        // A percentage, rounded to a tenth at most.
        EXPECT_NEAR(entry.value("yield", -1.0), 100.0 * ok / units, 0.051) << entry;
    }

    std::string log;
    std::vector<std::vector<Json>> runs;  // the records of each run, in log order
    std::vector<Json> all;
    std::string third;
};

TEST_P(DbQueriesTest, UnitsFiltersAndOrdersTheStoredRecords) {
    const std::vector<Json> everything = Units("");
    ASSERT_EQ(everything.size(), all.size());
    std::map<std::string, Json> byId;
    for (const Json& record : all) {
        byId[record.at("id")] = record;
    }
    for (const Json& record : everything) {
        EXPECT_EQ(record, byId[record.at("id")]) << "the object the log has";
    }
    EXPECT_EQ(everything.front().at("station"), "@sum");

    const std::string serial = Of(runs[0], "P1").at("serial");
    const std::vector<Json> p1 = Units("--serial " + serial);
    EXPECT_EQ(IdSet(p1), IdsWhere([&](const Json& r) { return r.at("serial") == serial; }));
    EXPECT_EQ(p1.size(), 4u) << "four programs (a restart reads no serial)";
    ASSERT_FALSE(p1.empty());
    EXPECT_EQ(p1.front().at("id"), Of(runs[3], "P1").at("id"));

    EXPECT_EQ(IdSet(Units("--port FLAKY")),
              IdsWhere([](const Json& r) { return r.at("port") == "FLAKY"; }));
    const std::vector<Json> failed = Units("--result failed");
    EXPECT_EQ(IdSet(failed), IdSet({Of(runs[0], "FLAKY"), Of(runs[2], "FLAKY")}));
    EXPECT_EQ(Units("--result ok").size(), 14u);
    EXPECT_TRUE(Units("--result interrupted").empty());
    EXPECT_EQ(Units("--port FLAKY --result ok").size(), 2u);
    EXPECT_EQ(IdSet(Units("--station line-2")),
              IdsWhere([](const Json& r) { return r.at("station") == "line-2"; }));
    EXPECT_EQ(IdSet(Units("--station =cmd")), IdSet(runs[6]));

    // Time ranges: --since keeps a start at or after, --until one before.
    const auto since = [&](const std::string& t) {
        return IdsWhere([&](const Json& r) { return r.at("start").get<std::string>() >= t; });
    };
    EXPECT_EQ(IdSet(Units("--since " + third)), since(third));
    EXPECT_EQ(since(third).size(), 10u);
    EXPECT_EQ(Units("--until " + third).size(), 6u);
    const std::string fifth = runs[4][0].at("start");
    EXPECT_EQ(IdSet(Units("--since " + third + " --until " + fifth)),
              IdSet([&] {
                  std::vector<Json> v(runs[2]);
                  v.insert(v.end(), runs[3].begin(), runs[3].end());
                  return v;
              }()));
    const std::string day = third.substr(0, 10);     // 2026-12-10
    const std::string minute = third.substr(0, 16);  // 2026-12-10T08:00
    EXPECT_EQ(Units("--since " + day).size(), all.size());
    EXPECT_TRUE(Units("--until " + day).empty());
    EXPECT_EQ(IdSet(Units("--since " + minute)), since(minute + ":00.000Z"));
    EXPECT_EQ(IdSet(Units("--until " + minute)), IdsWhere([&](const Json& r) {
                  return r.at("start").get<std::string>() < minute + ":00.000Z";
              }));

    // --limit keeps the newest.
    const std::vector<Json> newest = Units("--limit 3");
    ASSERT_EQ(newest.size(), 3u);
    EXPECT_EQ(newest[0].at("id"), runs[7][0].at("id"));
    EXPECT_EQ(newest[1].at("id"), runs[6][0].at("id"));
    EXPECT_EQ(newest[2].at("id"), runs[5][0].at("id"));
    const std::vector<Json> lastFlaky = Units("--port FLAKY --limit 2");
    ASSERT_EQ(lastFlaky.size(), 2u);
    EXPECT_EQ(lastFlaky[0].at("id"), Of(runs[3], "FLAKY").at("id"));
    EXPECT_EQ(lastFlaky[1].at("id"), Of(runs[2], "FLAKY").at("id"));

    // The table names every record it lists.
    const test::Outcome table = Station("units --db " + Quote(url) + " --port FLAKY");
    EXPECT_EQ(table.status, 0) << table.output;
    const std::vector<std::string> rows = Lines(table.out);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const std::string& l) { return Contains(l, "FLAKY"); }),
              4)
        << table.out;
}

TEST_P(DbQueriesTest, UnitsAsCsvKeepsFormulasOutOfTheSpreadsheet) {
    const test::Outcome run = Station("units --db " + Quote(url) + " --csv");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<std::string> lines = CsvLines(run.out);
    ASSERT_EQ(lines.size(), all.size() + 1) << run.out;
    EXPECT_EQ(lines[0], "start,station,port,serial,kind,model,firmware,operation,result,error");
    std::map<std::pair<std::string, std::string>, Json> byStartAndPort;
    for (const Json& record : all) {
        byStartAndPort[{record.at("start"), record.at("port")}] = record;
    }
    std::string previous = "9999";
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> cells = CsvCells(lines[i]);
        ASSERT_EQ(cells.size(), 10u) << lines[i];
        EXPECT_LE(cells[0], previous) << "newest first";
        previous = cells[0];
        const auto it = byStartAndPort.find({cells[0], cells[2]});
        ASSERT_NE(it, byStartAndPort.end()) << lines[i];
        const Json& r = it->second;
        const std::vector<std::string> expected = {
            Text(r.at("start")),  AsText(Text(r.at("station"))), Text(r.at("port")),
            Text(r.at("serial")), Text(r.at("kind")),            Text(r.at("model")),
            Text(r.at("firmware")), Text(r.at("operation")),     Text(r.at("result")),
            AsText(Text(r.at("error")))};
        EXPECT_EQ(cells, expected) << lines[i];
    }
    EXPECT_TRUE(Contains(run.out, ",'=cmd,P1,")) << run.out;
    EXPECT_TRUE(Contains(run.out, ",'@sum,P2,")) << run.out;
    EXPECT_TRUE(Contains(run.out, "\"Fail to write Varnak Handset settings. (PS key 0x02AB, 3 tries)\""))
        << "a cell with a comma is quoted: " << run.out;
    const test::Outcome one =
        Station("units --db " + Quote(url) + " --csv --station '=cmd' --limit 1");
    EXPECT_EQ(one.status, 0) << one.output;
    EXPECT_EQ(CsvLines(one.out).size(), 2u) << one.out;
}

TEST_P(DbQueriesTest, ReportGivesTheYieldPerPortStationAndDay) {
    const Json report = Report("");
    ASSERT_TRUE(report.is_object()) << report;
    const Json& ports = report.at("ports");
    EXPECT_EQ(ports.size(), 6u) << ports;
    ExpectFigures(Entry(ports, {{"station", "line-1"}, {"port", "P1"}}), 4, 4, 0);
    ExpectFigures(Entry(ports, {{"station", "line-1"}, {"port", "P2"}}), 4, 4, 0);
    ExpectFigures(Entry(ports, {{"station", "line-1"}, {"port", "FLAKY"}}), 4, 2, 2);
    ExpectFigures(Entry(ports, {{"station", "line-2"}, {"port", "Q1"}}), 2, 2, 0);
    ExpectFigures(Entry(ports, {{"station", "=cmd"}, {"port", "P1"}}), 1, 1, 0);
    EXPECT_EQ(Entry(ports, {{"station", "line-1"}, {"port", "P1"}}).value("retries", -1), 0);
    EXPECT_EQ(Entry(ports, {{"station", "line-1"}, {"port", "P2"}}).value("retries", -1), 1);
    EXPECT_EQ(Entry(ports, {{"station", "line-1"}, {"port", "FLAKY"}}).value("retries", -1), 6)
        << "three tries in each of two runs";
    const Json& stations = report.at("stations");
    EXPECT_EQ(stations.size(), 4u) << stations;
    ExpectFigures(Entry(stations, {{"station", "line-1"}}), 12, 10, 2);
    ExpectFigures(Entry(stations, {{"station", "line-2"}}), 2, 2, 0);
    ExpectFigures(Entry(stations, {{"station", "@sum"}}), 1, 1, 0);
    const Json& days = report.at("days");
    ASSERT_EQ(days.size(), 1u) << days;
    EXPECT_EQ(days[0].at("day"), third.substr(0, 10));
    ExpectFigures(days[0], 16, 14, 2);

    const Json line1 = Report("--station line-1");
    EXPECT_EQ(line1.at("ports").size(), 3u) << line1;
    EXPECT_EQ(line1.at("stations").size(), 1u) << line1;
    ASSERT_EQ(line1.at("days").size(), 1u);
    ExpectFigures(line1.at("days")[0], 12, 10, 2);

    // From the third run on, FLAKY failed once of twice.
    const Json later = Report("--since " + third);
    const Json& flaky = Entry(later.at("ports"), {{"station", "line-1"}, {"port", "FLAKY"}});
    ExpectFigures(flaky, 2, 1, 1);
    EXPECT_EQ(flaky.value("retries", -1), 3);
    ASSERT_EQ(later.at("days").size(), 1u);
    ExpectFigures(later.at("days")[0], 10, 9, 1);
    const Json earlier = Report("--until " + third);
    ExpectFigures(Entry(earlier.at("ports"), {{"station", "line-1"}, {"port", "FLAKY"}}), 2, 1, 1);
    EXPECT_EQ(Entry(earlier.at("ports"), {{"station", "line-1"}, {"port", "P2"}}).value("retries", -1),
              1);
    EXPECT_EQ(earlier.at("stations").size(), 1u) << earlier;
    const Json none = Report("--until " + third.substr(0, 10));
    EXPECT_TRUE(none.at("ports").empty()) << none;

    const test::Outcome csv = Station("report --db " + Quote(url) + " --csv");
    EXPECT_EQ(csv.status, 0) << csv.output;
    EXPECT_TRUE(Contains(csv.out, "FLAKY")) << csv.out;
    for (const std::string& line : CsvLines(csv.out)) {
        for (const std::string& cell : CsvCells(line)) {
            EXPECT_FALSE(!cell.empty() && std::string("=+@\t\r").find(cell[0]) != std::string::npos)
                << "a formula cell: " << line;
        }
    }
    const test::Outcome table = Station("report --db " + Quote(url));
    EXPECT_EQ(table.status, 0) << table.output;
    EXPECT_TRUE(Contains(table.out, "FLAKY")) << table.out;
    EXPECT_TRUE(Contains(table.out, "line-2")) << table.out;
}

VARNAK_DB_BACKENDS(DbQueriesTest);

}  // namespace
}  // namespace halyard::dbtest
