// Unit records, the log store that keeps whole lines, and the state a display shows.
#include <gtest/gtest.h>
#include <station/board.h>
#include <station/record.h>
#include <station/store.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace halyard::station {
namespace {

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(RecordTest, FieldsTimesIdsAndDigests) {
    EXPECT_EQ(IsoTime(WallClock::time_point(std::chrono::milliseconds(1796830463125))),
              "2026-12-09T15:34:23.125Z");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::set<std::string> ids;
    for (int i = 0; i < 100; ++i) {
        const std::string id = NewRecordId();
        EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}"))) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 100u);

    UnitReport report;
    report.port = "H1";
    report.operation = Operation::Program;
    report.stage = "written";
    report.identity = DeviceIdentity{kKindHandset, 2, 0x0304, true, 0xAC02};
    report.retries = {{0x02AB, 2}};
    report.address = {0x0012, 0xABCD, 0x0F0F};
    report.written = {0xB700, 8};
    RecordContext context{"line-1", "/srv/line.wpx", std::string(64, 'a')};
    const WallClock::time_point start = WallClock::now();
    const Json record = MakeRecord(report, context, start, start + std::chrono::seconds(1));
    std::vector<std::string> fields;
    for (const auto& [field, value] : record.items()) {
        fields.push_back(field);
    }
    EXPECT_EQ(fields,
              (std::vector<std::string>{
                  "id",           "station",        "start",    "end",      "port",    "operation",
                  "settingsFile", "settingsSha256", "identity", "kind",     "model",   "firmware",
                  "serial",       "stage",          "retries",  "read",     "written", "readBack",
                  "result",       "error",          "warnings", "messages", "log",     "reset",
                  "saved",        "seconds"}));
    EXPECT_EQ(record.at("identity"), 0xAC02);
    EXPECT_EQ(record.at("serial"), "0012ABCD0F0F");
    EXPECT_EQ(record.at("retries"), (Json{{"02ab", 2}}));
    EXPECT_EQ(record.at("written"), (Json{0xB700, 8}));
    // What the child sends, read back by the station, is the same report.
    EXPECT_EQ(ToJson(FromJson(ToJson(report))), ToJson(report));
    report.identity->versionRead = false;
    EXPECT_TRUE(ToJson(report).at("firmware").is_null());
}

class LogStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string name = "/tmp/station_log_XXXXXX";
        folder = mkdtemp(name.data());
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::filesystem::path folder;
};

// A record that fits only in part (a full disk) is cut back; the file holds whole lines only.
TEST_F(LogStoreTest, AShortWriteIsCutBackUnderTheLock) {
    const std::string path = (folder / "units.jsonl").string();
    LogFileStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path, error)) << error;
    ASSERT_TRUE(store.Store(Json{{"n", 1}}, error));
    int writes = 0;
    store.write = [&](int fd, const void* data, size_t size) -> ssize_t {
        if (++writes == 2) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, data, std::min<size_t>(size, 5));  // the disk takes 5 bytes
    };
    EXPECT_FALSE(store.Store(Json{{"n", 2}, {"text", std::string(100, 'x')}}, error));
    EXPECT_EQ(error, "cannot append to the log " + path + ": No space left on device");
    EXPECT_EQ(ReadText(path), "{\"n\":1}\n");
    store.write = nullptr;
    ASSERT_TRUE(store.Store(Json{{"n", 3}}, error));
    EXPECT_EQ(ReadText(path), "{\"n\":1}\n{\"n\":3}\n");

    LogFileStore nowhere;
    EXPECT_FALSE(nowhere.Open((folder / "no/such/folder/log").string(), error));
    EXPECT_TRUE(error.starts_with("cannot open the log ")) << error;
}

TEST(BoardTest, RowsAndCounters) {
    Board board;
    board.Started(0, "A");
    board.Started(1, "B");
    board.Started(2, "C");
    UnitReport soFar;
    soFar.stage = "identity read";
    soFar.identity = DeviceIdentity{kKindGateway, 1, 0x0312, true, 0xFD01};
    board.Progress(1, soFar);
    EXPECT_EQ(board.Rows()[1].kind, "gateway");
    EXPECT_EQ(board.Rows()[1].model, "Kordo Plus");
    EXPECT_EQ(board.Rows()[1].firmware, "3.12");
    EXPECT_EQ(board.Rows()[1].stage, "identity read");
    EXPECT_EQ(board.Count().inProgress, 3u);
    EXPECT_EQ(board.Count().Yield(), 0);
    UnitReport ok;
    ok.result = "ok";
    UnitReport failed;
    failed.result = "failed";
    failed.error = "no such port";
    board.Finished(0, ok);
    board.Finished(1, failed);
    board.Finished(2, ok);
    const Counters counts = board.Count();
    EXPECT_EQ(counts.ok, 2u);
    EXPECT_EQ(counts.failed, 1u);
    EXPECT_EQ(counts.inProgress, 0u);
    EXPECT_NEAR(counts.Yield(), 66.67, 0.01);
    EXPECT_EQ(board.Rows()[1].reason, "no such port");
    EXPECT_EQ(board.Rows()[1].kind, "gateway") << "what was known stays";
}

}  // namespace
}  // namespace halyard::station
