#include "common/atomicfile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "atomicfile.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void Put(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    // Everything in the folder, hidden files included: a failed write must leave nothing behind.
    size_t Entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
    }
    static mode_t Mode(const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        return st.st_mode & 07777;
    }

    fs::path dir;
};

TEST_F(AtomicFileTest, NewFileGetsContentsAndTheUmaskMode) {
    const mode_t old = ::umask(027);
    std::string error;
    const bool ok = varnak::WriteFileAtomically(dir / "new.txt", "one\ntwo\n", &error);
    ::umask(old);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(Read(dir / "new.txt"), "one\ntwo\n");
    EXPECT_EQ(Mode(dir / "new.txt"), 0640u);
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(AtomicFileTest, ReplacingKeepsPermissionsAndFollowsLinks) {
    Put(dir / "kept.txt", "old");
    ASSERT_EQ(::chmod((dir / "kept.txt").c_str(), 0600), 0);
    fs::create_symlink("kept.txt", dir / "link.txt");

    ASSERT_TRUE(varnak::WriteFileAtomically(dir / "link.txt", "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
    EXPECT_EQ(Read(dir / "kept.txt"), "new");
    EXPECT_EQ(Mode(dir / "kept.txt"), 0600u);
    EXPECT_EQ(Entries(), 2u);
}

TEST_F(AtomicFileTest, UnfinishedWritesLeaveTheOldFileAndNoTemporary) {
    Put(dir / "t.ps", "complete old file");
    {
        varnak::AtomicFileWriter writer(dir / "t.ps");
        ASSERT_TRUE(writer.Open());
        ASSERT_TRUE(writer.Write("half of a new"));
        EXPECT_TRUE(fs::exists(writer.TemporaryPath()));
        EXPECT_EQ(Read(dir / "t.ps"), "complete old file");
    }  // destroyed without Commit
    EXPECT_EQ(Read(dir / "t.ps"), "complete old file");
    EXPECT_EQ(Entries(), 1u);

    varnak::AtomicFileWriter aborted(dir / "t.ps");
    ASSERT_TRUE(aborted.Open());
    aborted.Write("x");
    aborted.Abort();
    EXPECT_FALSE(aborted.Commit());
    EXPECT_EQ(Read(dir / "t.ps"), "complete old file");
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(AtomicFileTest, AKilledWriterLeavesTheOldFileWhole) {
    Put(dir / "big.ps", "the old dump\n");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        varnak::AtomicFileWriter writer(dir / "big.ps");
        if (!writer.Open()) {
            _exit(1);
        }
        writer.Write(std::string(1 << 20, 'x'));
        ::kill(::getpid(), SIGKILL);  // dies in the middle, as on an interrupt
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Read(dir / "big.ps"), "the old dump\n");
    // The temporary file a killed writer leaves is hidden, so listings never take it for a file.
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "big.ps" || name.front() == '.') << name;
    }
}

TEST_F(AtomicFileTest, FailuresNameTheFileAndTheReason) {
    std::string error;
    EXPECT_FALSE(varnak::WriteFileAtomically(dir / "missing" / "x.wpx", "text", &error));
    EXPECT_NE(error.find((dir / "missing" / "x.wpx").string()), std::string::npos) << error;
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

    // A folder in the target's place cannot be replaced by a file.
    fs::create_directory(dir / "folder");
    EXPECT_FALSE(varnak::WriteFileAtomically(dir / "folder", "text", &error));
    EXPECT_NE(error.find("cannot replace " + (dir / "folder").string() + ": Is a directory"),
              std::string::npos)
        << error;
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
    EXPECT_EQ(Entries(), 1u);

    varnak::AtomicFileWriter unopened(dir / "y");
    EXPECT_FALSE(unopened.Write("a"));
    EXPECT_FALSE(unopened.Commit());
    EXPECT_FALSE(fs::exists(dir / "y"));
}

}  // namespace
