#include "platform/files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "core/exceptions.h"
#include "platform/syserror.h"
#include "tests/support/tempdir.h"

using namespace qb::platform;
using qb::test::TempDirTest;
using qb::test::WriteFile;

class Files : public TempDirTest {};

TEST_F(Files, ExistenceAndDeletion) {
    WriteFile(Path("a.txt"), "x");
    mkdir(Path("sub").c_str(), 0700);
    EXPECT_TRUE(FileExists(Path("a.txt")));
    EXPECT_FALSE(FileExists(Path("sub")));
    EXPECT_FALSE(FileExists(Path("none")));
    EXPECT_FALSE(FileExists(""));
    EXPECT_TRUE(DirectoryExists(Path("sub")));
    EXPECT_TRUE(DirectoryExists(Path("sub/")));
    EXPECT_FALSE(DirectoryExists(Path("a.txt")));
    EXPECT_FALSE(DirectoryExists(""));
    EXPECT_TRUE(DeleteFile(Path("a.txt")));
    EXPECT_FALSE(FileExists(Path("a.txt")));
    EXPECT_FALSE(DeleteFile(Path("a.txt")));
    EXPECT_FALSE(DeleteFile(Path("sub")));
    EXPECT_TRUE(DirectoryExists(Path("sub")));
}

TEST_F(Files, FindFilesMatchesFilesOnly) {
    for (const char* n : {"_PTStitcher_tmp_1", "_PTStitcher_tmp_2.tif", "_PTStitcher_tmp_", "other.tif",
                          ".hidden_PTStitcher_tmp_", "_ptstitcher_tmp_lower"})
        WriteFile(Path(n), "x");
    mkdir(Path("_PTStitcher_tmp_dir").c_str(), 0700);
    EXPECT_EQ(FindFiles(dir, "_PTStitcher_tmp_*"),
              (std::vector<std::string>{"_PTStitcher_tmp_", "_PTStitcher_tmp_1", "_PTStitcher_tmp_2.tif"}));
    EXPECT_EQ(FindFiles(ExcludeTrailingPathDelimiter(dir), "*.tif"),
              (std::vector<std::string>{"_PTStitcher_tmp_2.tif", "other.tif"}));
    EXPECT_EQ(FindFiles(dir, "other.ti?"), (std::vector<std::string>{"other.tif"}));
    EXPECT_TRUE(FindFiles(Path("missing"), "*").empty());
}

TEST(FileNames, PartsAndExtensions) {
    EXPECT_EQ(ExtractFilePath("/a/b/c.tif"), "/a/b/");
    EXPECT_EQ(ExtractFilePath("c.tif"), "");
    EXPECT_EQ(ExtractFilePath("/c.tif"), "/");
    EXPECT_EQ(ExtractFileDir("/a/b/c.tif"), "/a/b");
    EXPECT_EQ(ExtractFileDir("/c.tif"), "/");
    EXPECT_EQ(ExtractFileName("/a/b/c.tif"), "c.tif");
    EXPECT_EQ(ExtractFileName("/a/b/"), "");
    EXPECT_EQ(ExtractFileExt("/a/b/c.tar.gz"), ".gz");
    EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
    EXPECT_EQ(ExtractFileExt("pano."), ".");
    EXPECT_EQ(ChangeFileExt("/a/pano.tif", ".jpg"), "/a/pano.jpg");
    EXPECT_EQ(ChangeFileExt("/a.d/pano", ".jpg"), "/a.d/pano.jpg");
    EXPECT_EQ(ChangeFileExt("/a/pano.tif", ""), "/a/pano");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");
    EXPECT_EQ(IncludeTrailingPathDelimiter(""), "/");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/a/"), "/a");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/a"), "/a");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");
    EXPECT_EQ(ExtractShortPathName("/My Pictures/a b.jpg"), "/My Pictures/a b.jpg");
}

TEST(FileNames, ExpandAgainstTheCurrentDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string here = cwd;
    EXPECT_EQ(ExpandFileName("x.pts"), IncludeTrailingPathDelimiter(here) + "x.pts");
    EXPECT_EQ(ExpandFileName("/a/./b/../c.pts"), "/a/c.pts");
    EXPECT_EQ(ExpandFileName("/a//b/"), "/a/b/");
    EXPECT_EQ(ExpandFileName("/../../x"), "/x");
    EXPECT_EQ(ExpandFileName("/"), "/");
}

TEST(FileNames, RelativePaths) {
    EXPECT_EQ(ExtractRelativePath("/in/", "/in/pano0000.tif"), "pano0000.tif");
    EXPECT_EQ(ExtractRelativePath("/in/", "/out/pano0000.tif"), "../out/pano0000.tif");
    EXPECT_EQ(ExtractRelativePath("/in", "/out/pano.tif"), "../out/pano.tif");
    EXPECT_EQ(ExtractRelativePath("/a/b/c/", "/a/x/y/f.tif"), "../../x/y/f.tif");
    EXPECT_EQ(ExtractRelativePath("/a/", "/a/b/c/f.tif"), "b/c/f.tif");
    EXPECT_EQ(ExtractRelativePath("/", "/a/f.tif"), "a/f.tif");
    // Names compare case-sensitively here.
    EXPECT_EQ(ExtractRelativePath("/In/", "/in/f.tif"), "../in/f.tif");
}

TEST(FileNames, TempDirectoryAndProgram) {
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(GetTempDirectory(), "/var/tmp/");
    unsetenv("TMPDIR");
    EXPECT_EQ(GetTempDirectory(), "/tmp/");
    if (old) setenv("TMPDIR", saved.c_str(), 1);
    EXPECT_EQ(ExtractFileName(ApplicationExeName()), "test_platform");
    EXPECT_TRUE(FileExists(ApplicationExeName()));
}

TEST(SysError, TextsOfErrorNumbers) {
    EXPECT_EQ(SysErrorMessage(ENOENT), "No such file or directory");
    EXPECT_EQ(SysErrorMessage(EACCES), "Permission denied");
    EXPECT_FALSE(SysErrorMessage(99999).empty());
    errno = ENOENT;
    try {
        RaiseLastOSError();
    } catch (const qb::Exception& e) {
        EXPECT_EQ(e.message(), "No such file or directory");
    }
}

TEST_F(Files, AFileIsInUseWhileAnotherDescriptionHoldsALockOnIt) {
    const std::string file = Path("_PTStitcher_tmp_1");
    qb::test::WriteFile(file, "data");
    struct Case {
        const char* what;
        int lock;  // 0: none
        bool inUse;
    };
    const Case cases[] = {
        {"no lock", 0, false},
        {"exclusive lock", LOCK_EX, true},
        {"shared lock", LOCK_SH, true},
    };
    for (const Case& c : cases) {
        const int fd = ::open(file.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        if (c.lock) {
            ASSERT_EQ(flock(fd, c.lock), 0);
        }
        EXPECT_EQ(FileLockedByOthers(file), c.inUse) << c.what;
        ::close(fd);
        // The lock goes with its holder, and the check itself leaves none behind.
        EXPECT_FALSE(FileLockedByOthers(file)) << c.what;
    }
    EXPECT_FALSE(FileLockedByOthers(Path("missing")));
}
