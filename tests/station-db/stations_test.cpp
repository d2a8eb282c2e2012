// Many stations storing into one database at once: every record once, with its unit, station
// and settings file, whether the stations share the default spool or each has its own log.
#include <unistd.h>

#include <set>

#include "dbfixture.h"

namespace halyard::dbtest {
namespace {

class DbStationsTest : public DatabaseTest {};

TEST_P(DbStationsTest, SixteenStationsAtOnceStoreEveryRecordOnce) {
    constexpr int kStations = 16;
    constexpr int kUnitsEach = 3;
    const std::string file = StealthFile();
    std::vector<pid_t> stations;
    std::vector<std::vector<std::string>> ports(kStations);
    for (int s = 0; s < kStations; ++s) {
        ports[s] = Units("S" + std::to_string(s) + "u", kUnitsEach);
    }
    // Even stations keep a log of their own (their spool); odd ones share the default spool.
    const auto logOf = [&](int s) { return Path("station" + std::to_string(s) + ".jsonl"); };
    for (int s = 0; s < kStations; ++s) {
        std::vector<std::string> args = {"program", file,   "--db",   url, "--station",
                                         "st" + std::to_string(s), "--json", "--plain"};
        for (const std::string& port : ports[s]) {
            args.insert(args.end(), {"--port", port});
        }
        if (s % 2 == 0) {
            args.insert(args.end(), {"--log", logOf(s)});
        }
        stations.push_back(
            Start(args, "out" + std::to_string(s) + ".txt", "err" + std::to_string(s) + ".txt"));
    }
    std::map<std::string, Json> records;  // by id
    for (int s = 0; s < kStations; ++s) {
        const std::string err = test::ReadText(Path("err" + std::to_string(s) + ".txt"));
        ASSERT_EQ(Wait(stations[s]), 0) << "station " << s << ": " << err;
        EXPECT_TRUE(DatabaseTrouble(err).empty()) << "station " << s << ": " << err;
        EXPECT_FALSE(WaitingRecords(err)) << "station " << s << ": " << err;
        const std::vector<Json> out =
            JsonLines(test::ReadText(Path("out" + std::to_string(s) + ".txt")));
        ASSERT_EQ(out.size(), static_cast<size_t>(kUnitsEach)) << "station " << s;
        for (const Json& record : out) {
            EXPECT_EQ(record.at("result"), "ok") << record;
            records[record.at("id")] = record;
        }
        if (s % 2 == 0) {
            EXPECT_EQ(Ids(JsonLines(test::ReadText(logOf(s)))), Ids(out)) << "station " << s;
        }
    }
    ASSERT_EQ(records.size(), static_cast<size_t>(kStations * kUnitsEach)) << "ids are unique";

    Sql sql(url);
    ASSERT_TRUE(sql.Ok());
    // Every record once, its columns and its whole text as the station wrote it.
    std::map<std::string, int> seen;
    for (const Row& row :
         sql.Rows("SELECT id, station, port, operation, result, serial, settings_sha256, record "
                  "FROM operations")) {
        const std::string id = row.at(0).value_or("");
        ++seen[id];
        const auto it = records.find(id);
        if (it == records.end()) {
            ADD_FAILURE() << "a row no station made: " << id;
            continue;
        }
        const Json& record = it->second;
        EXPECT_EQ(row.at(1), record.at("station").get<std::string>());
        EXPECT_EQ(row.at(2), record.at("port").get<std::string>());
        EXPECT_EQ(row.at(3), "program");
        EXPECT_EQ(row.at(4), "ok");
        EXPECT_EQ(row.at(5), record.at("serial").get<std::string>());
        EXPECT_EQ(row.at(6), record.at("settingsSha256").get<std::string>());
        ASSERT_TRUE(row.at(7)) << id;
        EXPECT_EQ(Json::parse(*row.at(7)), record) << "the stored record is the station's";
    }
    for (const auto& [id, record] : records) {
        EXPECT_EQ(seen[id], 1) << id << " from " << record.at("station");
    }
    EXPECT_EQ(sql.Count("operations"), kStations * kUnitsEach);

    // One unit row per serial, with what the records say of it.
    std::map<std::string, Json> bySerial;
    for (const auto& [id, record] : records) {
        bySerial[record.at("serial")] = record;
    }
    const std::vector<Row> units = sql.Rows("SELECT serial, kind, model, firmware FROM units");
    EXPECT_EQ(units.size(), bySerial.size());
    for (const Row& unit : units) {
        const auto it = bySerial.find(unit.at(0).value_or(""));
        ASSERT_NE(it, bySerial.end()) << unit.at(0).value_or("NULL");
        EXPECT_EQ(unit.at(1), "handset");
        EXPECT_EQ(unit.at(2), "Veltra Plus");
        EXPECT_EQ(unit.at(3), it->second.at("firmware").get<std::string>());
    }

    std::set<std::string> names;
    for (const Row& station : sql.Rows("SELECT name FROM stations")) {
        names.insert(station.at(0).value_or(""));
    }
    std::set<std::string> expected;
    for (int s = 0; s < kStations; ++s) {
        expected.insert("st" + std::to_string(s));
    }
    EXPECT_EQ(names, expected);

    const std::vector<Row> files = sql.Rows("SELECT sha256, path FROM settings_files");
    ASSERT_EQ(files.size(), 1u) << "one settings file for every station";
    EXPECT_EQ(files[0].at(0), records.begin()->second.at("settingsSha256").get<std::string>());
    EXPECT_EQ(files[0].at(1), file);

    // Each log was sent up to its end, under this host's name.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    for (int s = 0; s < kStations; s += 2) {
        const std::string spool = std::filesystem::canonical(logOf(s)).string();
        EXPECT_EQ(sql.Cell("SELECT position FROM spool_positions WHERE host = $1 AND spool = $2",
                           {std::string(host), spool}),
                  std::to_string(std::filesystem::file_size(logOf(s))))
            << spool;
    }
}

VARNAK_DB_BACKENDS(DbStationsTest);

}  // namespace
}  // namespace halyard::dbtest
