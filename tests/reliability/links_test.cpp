// Links planted in a shared folder and files the caller may not write. A link in a folder that
// anyone may write to and that is sticky (/tmp) is followed only when it belongs to the caller
// or the folder's owner, as the kernel's link protection has it; a read-only file is not
// replaced; a file root replaces keeps its owner. Planting another user's link needs root.
#include "support.h"

#include <sys/stat.h>
#include <velorum/devicefile.h>
#include <velorum/velorum.h>

namespace reliability {
namespace {

constexpr uid_t kNobody = 65534;

class Links : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to plant a link as another user";
        }
        // A root-only file outside, and the shared folder with nobody's links to it.
        WriteText(dir / "secret", "root only\n");
        ASSERT_EQ(chmod((dir / "secret").c_str(), 0600), 0);
        fs::create_directory(dir / "sticky");
        ASSERT_EQ(chmod((dir / "sticky").c_str(), 01777), 0);
    }
    void Plant(const std::string& name) {
        fs::create_symlink(dir / "secret", dir / "sticky" / name);
        ASSERT_EQ(lchown((dir / "sticky" / name).c_str(), kNobody, kNobody), 0);
    }
    Folder dir;
};

TEST_F(Links, APlantedLinkIsNotFollowed) {
    Plant("out.ps");
    Plant("c.img");
    Plant("P.vdev");
    ASSERT_EQ(Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip c.img --create set 01f9 3").code,
              0);
    Outcome run = Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip c.img dump sticky/out.ps");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("will not follow the link sticky/out.ps"), std::string::npos) << run.err;

    // Nor is it followed to read: the secret is no chip image, and says nothing of itself.
    run = Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip sticky/c.img set 01f9 3");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("will not follow the link sticky/c.img"), std::string::npos) << run.err;

    setenv("VELORUM_DEVICE_DIR", (dir / "sticky").c_str(), 1);
    EXPECT_EQ(OpenByTransport("SIM:P", 0), 0u) << "the secret is no device file";
    unsetenv("VELORUM_DEVICE_DIR");
    EXPECT_EQ(ReadText(dir / "secret"), "root only\n");
    for (const char* name : {"out.ps", "c.img", "P.vdev"}) {
        EXPECT_TRUE(fs::is_symlink(dir / "sticky" / name)) << name;
    }
}

TEST_F(Links, TheStationsLogAndSavedFilesFollowNoPlantedLink) {
    Plant("units.jsonl");
    Plant("read.wpx");
    const std::string devices = "env VELORUM_DEVICE_DIR=devices ";
    ASSERT_EQ(Shell(dir.Path(), "mkdir devices && " + devices + Quoted(VARNAK_DEVICE) +
                                    " create P1 --kind handset --model veltra")
                  .code,
              0);
    Outcome run = Shell(dir.Path(), devices + Quoted(HALYARD_CLI) +
                                        " read --port P1 --plain --log sticky/units.jsonl");
    EXPECT_NE(run.code, 0);
    EXPECT_NE(run.err.find("will not follow the link sticky/units.jsonl"), std::string::npos)
        << run.err;
    run = Shell(dir.Path(),
                devices + Quoted(HALYARD_CLI) + " read --port P1 --plain --save sticky/read.wpx");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE((run.out + run.err).find("sticky/read.wpx"), std::string::npos) << run.out << run.err;
    EXPECT_EQ(ReadText(dir / "secret"), "root only\n");
    EXPECT_TRUE(fs::is_symlink(dir / "sticky" / "units.jsonl"));
    EXPECT_TRUE(fs::is_symlink(dir / "sticky" / "read.wpx"));
}

TEST_F(Links, ReadOnlyFilesStayAndForeignFilesKeepTheirOwner) {
    ASSERT_EQ(Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip c.img --create set 01f9 3").code,
              0);
    const std::string image = ReadText(dir / "c.img");
    ASSERT_EQ(chmod((dir / "c.img").c_str(), 0444), 0);
    Outcome run = Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip c.img set 01f9 2");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "keyward: cannot replace c.img: the file is read-only\n");
    EXPECT_EQ(ReadText(dir / "c.img"), image);

    ASSERT_EQ(chmod((dir / "c.img").c_str(), 0640), 0);
    ASSERT_EQ(chown((dir / "c.img").c_str(), kNobody, kNobody), 0);
    run = Shell(dir.Path(), Quoted(KEYWARD_TOOL) + " --chip c.img set 01f9 2");
    EXPECT_EQ(run.code, 0) << run.err;
    struct stat st {};
    ASSERT_EQ(stat((dir / "c.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_NE(ReadText(dir / "c.img").find("&01f9 = 0002\n"), std::string::npos);
}

}  // namespace
}  // namespace reliability
