// The spool: records wait in it while the database cannot take them, and reach it in spool
// order, never twice: sent by the running station once the server is back, by the next run,
// or by `halyard-cli db sync`.
#include <regex>

#include "dbfixture.h"

namespace halyard::dbtest {
namespace {

class DbSpoolTest : public DatabaseTest {};

TEST_P(DbSpoolTest, RecordsLeftInTheDefaultSpoolAreSentByDbSync) {
    const std::string file = StealthFile();
    Units("A", 2);
    const std::string later = LaterUrl();
    const test::Outcome down = Station("program " + file + " --port A00 --port A01 --plain --db " +
                                       Quote(later));
    EXPECT_EQ(down.status, 0) << "the units do not fail for the database: " << down.output;
    EXPECT_EQ(Flags("A00"), 0xB700);
    EXPECT_EQ(Flags("A01"), 0xB700);
    const std::optional<Waiting> waiting = WaitingRecords(down.err);
    ASSERT_TRUE(waiting) << down.err;
    EXPECT_EQ(waiting->count, 2);
    const std::filesystem::path spool = waiting->spool;
    EXPECT_EQ(spool.parent_path(), dir.path / "state/halyard/spool") << spool;
    EXPECT_TRUE(std::regex_match(spool.filename().string(), std::regex("[0-9a-f]{16}\\.jsonl")))
        << spool;
    const std::vector<std::string> trouble = DatabaseTrouble(down.err);
    ASSERT_EQ(trouble.size(), 1u) << "said once: " << down.err;
    EXPECT_TRUE(trouble[0].ends_with("; records wait in the spool " + waiting->spool))
        << trouble[0];
    const std::vector<std::string> spooled = Ids(JsonLines(test::ReadText(waiting->spool)));
    ASSERT_EQ(spooled.size(), 2u);

    // While the database is still not there, db sync says so and fails.
    const test::Outcome stillDown = Station("db sync --db " + Quote(later));
    EXPECT_EQ(stillDown.status, 1) << stillDown.output;
    EXPECT_TRUE(Contains(stillDown.err, "halyard-cli: ")) << stillDown.output;

    MakeLaterUsable();
    const test::Outcome sync = Station("db sync --db " + Quote(later));
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_EQ(SentCount(sync.output), 2) << sync.output;
    EXPECT_EQ(StoredIds(later), spooled) << "in spool order";

    const test::Outcome again = Station("db sync --db " + Quote(later));
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(SentCount(again.output), 0) << again.output;

    // The next run sends its own record after them.
    Units("B", 1);
    const test::Outcome next = Station("program " + file + " --port B00 --plain --db " + Quote(later));
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_FALSE(WaitingRecords(next.err)) << next.err;
    const std::vector<std::string> all = Ids(JsonLines(test::ReadText(waiting->spool)));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(StoredIds(later), all);
}

TEST_P(DbSpoolTest, RecordsLeftInALogAreSentByTheNextRun) {
    const std::string file = StealthFile();
    Units("A", 3);
    const std::string later = LaterUrl();
    const std::string log = Path("units.jsonl");
    const test::Outcome down = Station("program " + file +
                                       " --port A00 --port A01 --plain --log " + log +
                                       " --db " + Quote(later));
    EXPECT_EQ(down.status, 0) << down.output;
    const std::optional<Waiting> waiting = WaitingRecords(down.err);
    ASSERT_TRUE(waiting) << down.err;
    EXPECT_EQ(waiting->count, 2);
    EXPECT_EQ(waiting->spool, log) << "the log is the spool";

    MakeLaterUsable();
    const test::Outcome next = Station("program " + file + " --port A02 --plain --log " + log +
                                       " --db " + Quote(later));
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_TRUE(DatabaseTrouble(next.err).empty()) << next.err;
    EXPECT_FALSE(WaitingRecords(next.err)) << next.err;
    const std::vector<std::string> logged = Ids(JsonLines(test::ReadText(log)));
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(StoredIds(later), logged) << "the waiting records first, in log order";

    const test::Outcome sync = Station("db sync --db " + Quote(later) + " --log " + log);
    EXPECT_EQ(sync.status, 0) << sync.output;
    EXPECT_EQ(SentCount(sync.output), 0) << "nothing waits: " << sync.output;
    EXPECT_EQ(StoredIds(later).size(), 3u);
}

VARNAK_DB_BACKENDS(DbSpoolTest);

// A server of the case's own, stopped in the middle of a watch run and started again.
class DbPostgresqlServerTest : public DatabaseStationTest {
  protected:
    DbPostgresqlServerTest() : DatabaseStationTest(Backend::Postgresql) {}
    void SetUp() override {
        PrivateStateFolder();
        server = std::make_unique<PgCluster>(OwnStateFile("paused"));
        ASSERT_TRUE(server->Ok()) << server->error;
        url = server->state.url;
    }
    void TearDown() override {
        server.reset();
        unsetenv("XDG_STATE_HOME");
    }

    std::unique_ptr<PgCluster> server;
};

TEST_F(DbPostgresqlServerTest, AServerBackDuringAWatchRunGetsEveryRecordInSpoolOrder) {
    constexpr int kUnits = 40;
    const std::string file = StealthFile();
    const std::vector<std::string> units = Units("W", kUnits, 5);
    for (const std::string& unit : units) {
        ASSERT_EQ(test::Device("unplug " + unit).status, 0);
    }
    const std::string log = Path("units.jsonl");
    const pid_t station = Start({"program", file, "--watch", "--plain", "--log", log, "--db", url,
                                 "--station", "watcher", "--timeout", "20"},
                                "out.txt", "err.txt");
    const auto logged = [&] { return Lines(test::ReadText(log)).size(); };
    const auto plug = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            ASSERT_EQ(test::Device("plug " + units[static_cast<size_t>(i)]).status, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    plug(0, 10);
    ASSERT_TRUE(WaitFor([&] { return logged() == 10 && StoredCount(url) == 10; }))
        << logged() << " logged, " << StoredCount(url) << " stored; "
        << test::ReadText(Path("err.txt"));

    ASSERT_TRUE(server->Pause());
    plug(10, 30);
    ASSERT_TRUE(WaitFor([&] { return logged() == 30; }))
        << "units are served while the server is away: " << test::ReadText(Path("out.txt"))
        << test::ReadText(Path("err.txt"));
    // Long enough for the sender to have tried and failed more than once.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const std::string whileDown = test::ReadText(Path("err.txt"));
    EXPECT_EQ(DatabaseTrouble(whileDown).size(), 1u) << whileDown;

    ASSERT_TRUE(server->Resume());
    plug(30, kUnits);
    ASSERT_TRUE(WaitFor([&] { return logged() == kUnits && StoredCount(url) == kUnits; }))
        << logged() << " logged, " << StoredCount(url) << " stored; "
        << test::ReadText(Path("err.txt"));
    kill(station, SIGINT);
    EXPECT_EQ(Wait(station), 0) << test::ReadText(Path("err.txt"));

    const std::vector<Json> records = JsonLines(test::ReadText(log));
    ASSERT_EQ(records.size(), static_cast<size_t>(kUnits));
    for (const Json& record : records) {
        EXPECT_EQ(record.at("result"), "ok") << record;
    }
    EXPECT_EQ(StoredIds(), Ids(records)) << "every record once, in the spool's order";
    Sql sql(url);
    EXPECT_EQ(sql.Cell("SELECT count(DISTINCT id) FROM operations"), std::to_string(kUnits));
    EXPECT_EQ(sql.Cell("SELECT position FROM spool_positions WHERE spool = $1", {log}),
              std::to_string(std::filesystem::file_size(log)));

    const std::string err = test::ReadText(Path("err.txt"));
    const std::string out = test::ReadText(Path("out.txt"));
    const std::vector<std::string> trouble = DatabaseTrouble(err);
    ASSERT_EQ(trouble.size(), 1u) << "said once, not per unit or per try: " << err;
    EXPECT_TRUE(trouble[0].ends_with("; records wait in the spool " + log)) << trouble[0];
    EXPECT_TRUE(Contains(trouble[0], server->state.dir)) << trouble[0];
    EXPECT_FALSE(Contains(err + out, server->state.password)) << "the password is hidden";
    const std::optional<Waiting> waiting = WaitingRecords(err);
    EXPECT_TRUE(!waiting || waiting->count == 0) << "nothing waits at the end: " << err;
}

}  // namespace
}  // namespace halyard::dbtest
