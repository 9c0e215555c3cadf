#include "TestSupport.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

using namespace platform;
using namespace testing_support;

std::string RawDosAttrib(const std::string& path) {
    char value[64];
    ssize_t length = ::getxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value);
    return length < 0 ? std::string() : std::string(value, static_cast<std::size_t>(length));
}

class Attributes : public ::testing::Test {
  protected:
    ScratchFolder folder;
};

TEST_F(Attributes, PlainFileFolderAndMissing) {
    WriteText(folder / "plain.txt", "x");
    std::filesystem::create_directory(folder / "sub");
    EXPECT_EQ(GetAttributes(folder / "plain.txt"), AttrArchive);
    EXPECT_EQ(GetAttributes(folder / "sub"), AttrDirectory);
    EXPECT_EQ(GetAttributes(folder / "missing"), std::nullopt);
}

TEST_F(Attributes, DotNameIsHiddenButDotEntriesAreNot) {
    WriteText(folder / ".profile", "x");
    EXPECT_EQ(GetAttributes(folder / ".profile"), AttrHidden | AttrArchive);
    EXPECT_EQ(*GetAttributes(folder / ".") & AttrHidden, 0u);
    EXPECT_EQ(*GetAttributes(folder / "..") & AttrHidden, 0u);
}

TEST_F(Attributes, ReadOnlyComesFromTheOwnerWriteBit) {
    WriteText(folder / "ro.txt", "x");
    ::chmod((folder / "ro.txt").c_str(), 0444);
    EXPECT_EQ(GetAttributes(folder / "ro.txt"), AttrReadOnly | AttrArchive);
    // Group write does not make it writable for the owner.
    ::chmod((folder / "ro.txt").c_str(), 0464);
    EXPECT_EQ(GetAttributes(folder / "ro.txt"), AttrReadOnly | AttrArchive);
}

TEST_F(Attributes, LinksAndFifosAreSystem) {
    std::filesystem::create_symlink("nowhere", folder / "link");
    ::mkfifo((folder / "fifo").c_str(), 0644);
    EXPECT_EQ(*GetAttributes(folder / "link") & (AttrSystem | AttrDirectory), AttrSystem);
    EXPECT_EQ(*GetAttributes(folder / "fifo") & (AttrSystem | AttrArchive), AttrSystem);
}

TEST_F(Attributes, ReadsDosAttribWrittenByOthers) {
    WriteText(folder / "f", "x");
    // Wine's text form, and Samba's blob, which starts with the same text.
    ASSERT_EQ(::setxattr((folder / "f").c_str(), "user.DOSATTRIB", "0x6", 3, 0), 0);
    EXPECT_EQ(GetAttributes(folder / "f"), AttrHidden | AttrSystem);
    const char blob[] = "0x22\0\3\0\0\0";
    ASSERT_EQ(::setxattr((folder / "f").c_str(), "user.DOSATTRIB", blob, sizeof blob, 0), 0);
    EXPECT_EQ(GetAttributes(folder / "f"), AttrHidden | AttrArchive);
    // Something unreadable counts as nothing stored.
    ASSERT_EQ(::setxattr((folder / "f").c_str(), "user.DOSATTRIB", "junk", 4, 0), 0);
    EXPECT_EQ(GetAttributes(folder / "f"), AttrArchive);
}

TEST_F(Attributes, SetHiddenAndSystemRoundTripsThroughDosAttrib) {
    WriteText(folder / "f", "x");
    ASSERT_TRUE(SetAttributes(folder / "f", AttrHidden | AttrArchive));
    EXPECT_EQ(RawDosAttrib(folder / "f"), "0x22");
    EXPECT_EQ(GetAttributes(folder / "f"), AttrHidden | AttrArchive);
    EXPECT_EQ(QueryFile(folder / "f")->attributes, AttrHidden | AttrArchive);

    ASSERT_TRUE(SetAttributes(folder / "f", AttrSystem));
    EXPECT_EQ(GetAttributes(folder / "f"), AttrSystem);

    // Back to normal: nothing needs storing any more.
    ASSERT_TRUE(SetAttributes(folder / "f", AttrArchive));
    EXPECT_EQ(RawDosAttrib(folder / "f"), "");
    EXPECT_EQ(GetAttributes(folder / "f"), AttrArchive);
}

TEST_F(Attributes, SetReadOnlyAndBackEvenWithHidden) {
    WriteText(folder / "f", "x");
    ASSERT_TRUE(SetAttributes(folder / "f", AttrReadOnly | AttrHidden | AttrArchive));
    struct stat st {};
    ::stat((folder / "f").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(GetAttributes(folder / "f"), AttrReadOnly | AttrHidden | AttrArchive);
    // Changing the stored bits of a read-only file works and keeps it read-only.
    ASSERT_TRUE(SetAttributes(folder / "f", AttrReadOnly | AttrArchive));
    EXPECT_EQ(GetAttributes(folder / "f"), AttrReadOnly | AttrArchive);
    ASSERT_TRUE(SetAttributes(folder / "f", AttrArchive));
    EXPECT_EQ(GetAttributes(folder / "f"), AttrArchive);
}

TEST_F(Attributes, FolderCanBeHidden) {
    std::filesystem::create_directory(folder / "sub");
    ASSERT_TRUE(SetAttributes(folder / "sub", AttrDirectory | AttrHidden));
    EXPECT_EQ(GetAttributes(folder / "sub"), AttrDirectory | AttrHidden);
}

TEST_F(Attributes, ListingAndQueryAgreeWithGetAttributes) {
    WriteText(folder / "a", "abc");
    WriteText(folder / ".b", "");
    SetAttributes(folder / "a", AttrHidden | AttrArchive);
    auto entries = ListFolder(folder.Path());
    ASSERT_TRUE(entries);
    for (const auto& entry : *entries) {
        EXPECT_EQ(entry.attributes, GetAttributes(folder / entry.name)) << entry.name;
    }
}

// A file system that keeps no user attributes: procfs refuses them.
TEST(AttributesWithoutXattrs, ProcFileFallsBackAndRefusesQuietly) {
    const std::string file = "/proc/self/status";
    ASSERT_EQ(::setxattr(file.c_str(), "user.t", "1", 1, 0), -1) << "procfs took an xattr";
    EXPECT_EQ(GetAttributes(file), AttrReadOnly | AttrArchive);
    EXPECT_FALSE(SetAttributes(file, AttrHidden | AttrReadOnly | AttrArchive));
    EXPECT_EQ(GetAttributes(file), AttrReadOnly | AttrArchive);
}

// A writable file system without user attributes: ramfs, mounted in a mount
// namespace of a child process (needs root, as in CI).
TEST(AttributesWithoutXattrs, RamfsFileKeepsNameAndModeRules) {
    ScratchFolder folder;
    const std::string mount = folder / "ramfs";
    std::filesystem::create_directory(mount);
    int result = RunInChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", mount.c_str(), "ramfs", 0, nullptr) != 0) {
            return 77;
        }
        const std::string file = mount + "/f.txt";
        const std::string hidden = mount + "/.f";
        WriteText(file, "x");
        WriteText(hidden, "x");
        if (::setxattr(file.c_str(), "user.t", "1", 1, 0) == 0) {
            return 78; // this ramfs keeps them after all
        }
        if (SetAttributes(file, AttrHidden | AttrArchive)) {
            return 1; // must refuse
        }
        if (GetAttributes(file) != AttrArchive ||
            GetAttributes(hidden) != (AttrHidden | AttrArchive)) {
            return 2;
        }
        // What needs no attribute storage still works.
        if (!SetAttributes(file, AttrReadOnly | AttrArchive) ||
            GetAttributes(file) != (AttrReadOnly | AttrArchive)) {
            return 3;
        }
        return 0;
    });
    if (result == 77) {
        GTEST_SKIP() << "cannot mount a ramfs here (needs root and mount namespaces)";
    }
    if (result == 78) {
        GTEST_SKIP() << "this kernel's ramfs keeps user attributes";
    }
    EXPECT_EQ(result, 0);
}

} // namespace
