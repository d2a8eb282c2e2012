#include "common/atomicfile.h"

#include "filetest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

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

TEST_F(AtomicFileTest, LeftoversOfDeadWritersGoWhenTheFileIsWrittenNext) {
    Put(dir / "t.ps", "old");
    // What a writer killed in the middle leaves: an unlocked temporary file.
    Put(dir / ".t.ps.tmpAbC123", "half");
    // A live writer's file is locked: it stays.
    Put(dir / ".t.ps.tmpLive00", "in progress");
    const int live = ::open((dir / ".t.ps.tmpLive00").c_str(), O_RDONLY);
    ASSERT_GE(live, 0);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    // Names that are not temporary files of t.ps stay too.
    Put(dir / ".t.ps.tmpLonger1", "not ours");
    Put(dir / ".other.tmpAbC123", "another file's");

    ASSERT_TRUE(varnak::WriteFileAtomically(dir / "t.ps", "new"));
    ::close(live);
    EXPECT_EQ(Read(dir / "t.ps"), "new");
    EXPECT_FALSE(fs::exists(dir / ".t.ps.tmpAbC123"));
    EXPECT_TRUE(fs::exists(dir / ".t.ps.tmpLive00"));
    EXPECT_TRUE(fs::exists(dir / ".t.ps.tmpLonger1"));
    EXPECT_TRUE(fs::exists(dir / ".other.tmpAbC123"));

    // A writer's own temporary file is locked while it writes, so it is never taken for one.
    varnak::AtomicFileWriter first(dir / "t.ps");
    ASSERT_TRUE(first.Open());
    ASSERT_TRUE(varnak::WriteFileAtomically(dir / "t.ps", "second"));
    EXPECT_TRUE(fs::exists(first.TemporaryPath()));
    ASSERT_TRUE(first.Write("first"));
    EXPECT_TRUE(first.Commit()) << first.Error();
    EXPECT_EQ(Read(dir / "t.ps"), "first");
}

TEST_F(AtomicFileTest, AReadOnlyFileIsNotReplaced) {
    Put(dir / "c.img", "kept");
    ASSERT_EQ(::chmod((dir / "c.img").c_str(), 0444), 0);
    std::string error;
    // Root may write any file, but a file made read-only is not replaced behind its back.
    EXPECT_FALSE(varnak::WriteFileAtomically(dir / "c.img", "new", &error));
    EXPECT_EQ(error, "cannot replace " + (dir / "c.img").string() + ": the file is read-only");
    EXPECT_EQ(Read(dir / "c.img"), "kept");
    EXPECT_EQ(Entries(), 1u);

    // Nor is anything but a regular file.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    EXPECT_FALSE(varnak::WriteFileAtomically(dir / "fifo", "new", &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_TRUE(S_ISFIFO(Stat(dir / "fifo").st_mode));
}

TEST_F(AtomicFileTest, RootReplacingAnotherUsersFileKeepsItsOwnerAndGroup) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file to another user";
    }
    Put(dir / "theirs.ps", "old");
    ASSERT_EQ(::chown((dir / "theirs.ps").c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(::chmod((dir / "theirs.ps").c_str(), 02640), 0);
    ASSERT_TRUE(varnak::WriteFileAtomically(dir / "theirs.ps", "new"));
    const struct stat st = Stat(dir / "theirs.ps");
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNogroup);
    EXPECT_EQ(st.st_mode & 07777, 02640u);  // the set-group-id bit survives the change of owner
    EXPECT_EQ(Read(dir / "theirs.ps"), "new");
}

}  // namespace
