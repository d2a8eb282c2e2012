#include "common/userfiles.h"

#include "common/atomicfile.h"
#include "filetest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

// A world-writable sticky folder like /tmp, owned by root, with links in it planted by root
// (the caller) and by another user; each points at a root-only file outside.
class SharedFolderTest : public AtomicFileTest {
  protected:
    void SetUp() override {
        AtomicFileTest::SetUp();
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to plant a link as another user";
        }
        Put(dir / "secret", "root only\n");
        ASSERT_EQ(::chmod((dir / "secret").c_str(), 0600), 0);
        ASSERT_EQ(::mkdir((dir / "sticky").c_str(), 0777), 0);
        ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01777), 0);
        Plant("planted", kNobody);
        Plant("own", 0);
    }
    void Plant(const std::string& name, uid_t owner) {
        fs::create_symlink(dir / "secret", dir / "sticky" / name);
        ASSERT_EQ(::lchown((dir / "sticky" / name).c_str(), owner, owner), 0);
    }
};

TEST_F(SharedFolderTest, WritersFollowLinksOnlyWhereTheKernelWould) {
    std::string error;
    EXPECT_FALSE(varnak::WriteFileAtomically(dir / "sticky" / "planted", "overwritten", &error));
    EXPECT_EQ(error, "will not follow the link " + (dir / "sticky" / "planted").string() +
                         ": it lies in a folder anyone may write to and belongs neither to you "
                         "nor to the folder's owner");
    EXPECT_EQ(varnak::OpenForAppending(dir / "sticky" / "planted", &error), -1);
    EXPECT_NE(error.find("will not follow the link"), std::string::npos) << error;
    EXPECT_EQ(Read(dir / "secret"), "root only\n");
    EXPECT_TRUE(fs::is_symlink(dir / "sticky" / "planted"));

    // The caller's own link is followed, and so is one of the folder's owner.
    ASSERT_TRUE(varnak::WriteFileAtomically(dir / "sticky" / "own", "mine\n", &error)) << error;
    EXPECT_EQ(Read(dir / "secret"), "mine\n");
    EXPECT_TRUE(fs::is_symlink(dir / "sticky" / "own"));

    // A link in a folder that only its owner may write is followed, whoever made it.
    ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01755), 0);
    ASSERT_TRUE(varnak::WriteFileAtomically(dir / "sticky" / "planted", "again\n", &error))
        << error;
    EXPECT_EQ(Read(dir / "secret"), "again\n");
}

TEST_F(SharedFolderTest, AChainIsCheckedAtEveryLink) {
    // A link of the caller's that leads to the planted one.
    fs::create_symlink(dir / "sticky" / "planted", dir / "mine");
    std::string error;
    EXPECT_FALSE(varnak::WriteFileAtomically(dir / "mine", "overwritten", &error));
    EXPECT_NE(error.find("will not follow the link " + (dir / "sticky" / "planted").string()),
              std::string::npos)
        << error;
    EXPECT_EQ(Read(dir / "secret"), "root only\n");
}

TEST_F(AtomicFileTest, AppendingCreatesAddsAndRefusesWhatItMayNotWrite) {
    std::string error;
    int fd = varnak::OpenForAppending(dir / "u.jsonl", &error);
    ASSERT_GE(fd, 0) << error;
    ASSERT_EQ(::write(fd, "one\n", 4), 4);
    ::close(fd);
    fs::create_symlink("u.jsonl", dir / "link.jsonl");
    fd = varnak::OpenForAppending(dir / "link.jsonl", &error);
    ASSERT_GE(fd, 0) << error;
    ASSERT_EQ(::write(fd, "two\n", 4), 4);
    ::close(fd);
    EXPECT_EQ(Read(dir / "u.jsonl"), "one\ntwo\n");

    ASSERT_EQ(::chmod((dir / "u.jsonl").c_str(), 0444), 0);
    EXPECT_EQ(varnak::OpenForAppending(dir / "u.jsonl", &error), -1);
    EXPECT_EQ(error, "cannot write " + (dir / "u.jsonl").string() + ": the file is read-only");

    // A FIFO without a reader fails at once instead of holding the writer.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    EXPECT_EQ(varnak::OpenForAppending(dir / "fifo", &error), -1);
    EXPECT_NE(error.find("No such device or address"), std::string::npos) << error;
}

TEST_F(AtomicFileTest, OnlyRegularFilesAreRead) {
    Put(dir / "c.img", "contents\n");
    std::string text;
    std::string error;
    ASSERT_TRUE(varnak::ReadRegularFile(dir / "c.img", text, &error)) << error;
    EXPECT_EQ(text, "contents\n");

    // A FIFO with no writer would hold the reader until it is killed.
    ASSERT_EQ(::mkfifo((dir / "fifo.img").c_str(), 0644), 0);
    EXPECT_FALSE(varnak::ReadRegularFile(dir / "fifo.img", text, &error));
    EXPECT_EQ(error, (dir / "fifo.img").string() + " is not a regular file");
    EXPECT_FALSE(varnak::ReadRegularFile(dir, text, &error));
    EXPECT_EQ(error, dir.string() + " is a folder, not a file");
    EXPECT_FALSE(varnak::ReadRegularFile(dir / "missing", text, &error));
    EXPECT_EQ(error, "cannot open " + (dir / "missing").string() + ": No such file or directory");
    EXPECT_EQ(text, "contents\n");  // untouched by the failures
}

}  // namespace
