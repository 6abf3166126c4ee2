#include "components/MemBitmapIO/tzrmmf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "core/exceptions.h"
#include "tests/support/tempdir.h"

using namespace qb;

namespace {

// The message of the exception that `f` raises ("" when it raises none).
template <typename F>
std::string MessageOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.message();
    }
    return "";
}

int EntriesIn(const std::string& dir) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++n;
    }
    return n;
}

// Whether this process still has the file open (an unlinked file shows as "name (deleted)").
bool ProcessHoldsFile(const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        char target[4096];
        const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (std::string(target).rfind(name, 0) == 0) return true;
    }
    return false;
}

class TzrMMFTest : public qb::test::TempDirTest {};

}  // namespace

TEST_F(TzrMMFTest, MapsUpToTheEndAndNotBeyond) {
    TzrMMF f;
    f.SetTempdir(dir);
    const std::uint32_t g = f.GetGranularity();
    ASSERT_GT(g, 0u);
    ASSERT_EQ(g & (g - 1), 0u) << "granularity must be a power of two";
    f.SetSize(3 * g);
    auto* last = static_cast<std::uint8_t*>(f.Map(2 * g, g));
    last[g - 1] = 0x5a;  // the file's very last byte is writable
    EXPECT_EQ(MessageOf([&] { f.Map(2 * g, g + 1); }), "Internal error.\nzrMMF::Map: past end of file");
    EXPECT_EQ(MessageOf([&] { f.Map(3 * g + 1, 0); }), "Internal error.\nzrMMF::Map: past end of file");
    // Offsets so large that offset + size wraps in 64 bits are past the end as well.
    EXPECT_EQ(MessageOf([&] { f.Map(~std::uint64_t(0) - 1, 16); }), "Internal error.\nzrMMF::Map: past end of file");
    EXPECT_EQ(f.ViewCount(), 1u);  // failed calls record nothing
    f.Unmap(last);
}

TEST_F(TzrMMFTest, UnalignedViewsSeeTheBytesAtTheirOffsets) {
    TzrMMF f;
    f.SetTempdir(dir);
    const std::uint32_t g = f.GetGranularity();
    const std::uint64_t size = 4 * static_cast<std::uint64_t>(g) + 100;
    f.SetSize(size);
    auto* whole = static_cast<std::uint8_t*>(f.Map(0, static_cast<std::uint32_t>(size)));
    for (std::uint64_t i = 0; i < size; ++i) EXPECT_EQ(whole[i], 0) << "fresh file must read as zero";
    for (std::uint64_t i = 0; i < size; ++i) whole[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (const std::uint64_t offset : {std::uint64_t(1), std::uint64_t(g) - 1, std::uint64_t(g) + 13,
                                       3 * std::uint64_t(g) + 99}) {
        auto* p = static_cast<std::uint8_t*>(f.Map(offset, 100));
        EXPECT_EQ(p[0], static_cast<std::uint8_t>(offset * 7 + 3)) << offset;
        EXPECT_EQ(p[99], static_cast<std::uint8_t>((offset + 99) * 7 + 3)) << offset;
        // Both views show the same file: a write through one is seen through the other.
        p[50] = 0xee;
        EXPECT_EQ(whole[offset + 50], 0xee);
        EXPECT_EQ(f.ViewCount(), 2u);
        f.Unmap(p);
        EXPECT_EQ(f.ViewCount(), 1u);
        whole[offset + 50] = static_cast<std::uint8_t>((offset + 50) * 7 + 3);
    }
    f.Unmap(whole);
    EXPECT_EQ(f.ViewCount(), 0u);
}

TEST_F(TzrMMFTest, MisuseIsReportedAsInternalError) {
    TzrMMF f;
    f.SetTempdir(dir);
    f.SetSize(8192);
    int local = 0;
    EXPECT_EQ(MessageOf([&] { f.Unmap(&local); }), "Internal error.\nzrMMF::Unmap: not mapped");
    void* p = f.Map(0, 16);
    EXPECT_EQ(MessageOf([&] { f.Unmap(static_cast<char*>(p) + 1); }), "Internal error.\nzrMMF::Unmap: not mapped");
    EXPECT_EQ(MessageOf([&] { f.SetSize(1); }), "Internal error.\nzrMMF::SetSize: file is open");
    EXPECT_EQ(MessageOf([&] { f.SetTempdir("/x/"); }), "Internal error.\nzrMMF::SetTempdir: file is open");
    EXPECT_EQ(MessageOf([&] { f.SetFilename("x"); }), "Internal error.\nzrMMF::SetFilename: file is open");
    EXPECT_EQ(MessageOf([&] { f.SetMode(mmfKeepName); }), "Internal error.\nzrMMF::SetMode: file is open");
    EXPECT_EQ(MessageOf([&] { f.UnmapFile(); }), "Internal error.\nzrMMF::UnmapFile: file is still mapped");
    EXPECT_EQ(MessageOf([&] { f.FreeFile(); }), "Internal error.\nzrMMF::FreeFile: file is still mapped");
    EXPECT_EQ(f.GetSize(), 8192u);
    f.UnmapAll();
    f.FreeFile();
    f.SetSize(1);  // inactive again
    EXPECT_EQ(f.GetSize(), 1u);
}

TEST_F(TzrMMFTest, LastUnmapClosesTheMappingButKeepsTheFileAndItsBytes) {
    TzrMMF f;
    f.SetTempdir(dir);
    const std::uint32_t g = f.GetGranularity();
    f.SetSize(2 * g);
    auto* a = static_cast<std::uint8_t*>(f.Map(0, g));
    auto* b = static_cast<std::uint8_t*>(f.Map(g, g));
    std::memset(a, 0x11, g);
    std::memset(b, 0x22, g);
    f.UnmapAll();
    EXPECT_EQ(f.ViewCount(), 0u);
    EXPECT_FALSE(f.IsFileMapped());
    EXPECT_TRUE(f.IsFileOpen());
    auto* c = static_cast<std::uint8_t*>(f.Map(g - 2, 4));
    EXPECT_TRUE(f.IsFileMapped());
    EXPECT_EQ(c[0], 0x11);
    EXPECT_EQ(c[1], 0x11);
    EXPECT_EQ(c[2], 0x22);
    EXPECT_EQ(c[3], 0x22);
    f.Unmap(c);
}

TEST_F(TzrMMFTest, TemporaryFileIsNamedKMAndLeavesNothingBehind) {
    std::string name;
    {
        TzrMMF f;
        f.SetTempdir(dir);
        f.SetSize(4096);
        EXPECT_FALSE(f.IsFileOpen());  // created lazily
        EXPECT_EQ(EntriesIn(dir), 0);
        f.Map(0, 4096);
        name = f.GetActualFileName();
        EXPECT_EQ(name.rfind(dir + "KM", 0), 0u) << name;
        // The name is removed right after creation; the open file lives on until closed.
        EXPECT_EQ(EntriesIn(dir), 0);
        EXPECT_TRUE(ProcessHoldsFile(name));
    }
    EXPECT_FALSE(ProcessHoldsFile(name)) << "the file must be closed (and so deleted) by destruction";
    EXPECT_EQ(EntriesIn(dir), 0);
}

TEST_F(TzrMMFTest, ModeDecidesWhetherTheNameIsKeptAfterClosing) {
    TzrMMF f;
    f.SetTempdir(dir);
    f.SetSize(10);
    f.CreateFile();
    EXPECT_FALSE(f.GetActualFileName().empty());
    f.FreeFile();
    EXPECT_EQ(f.GetActualFileName(), "");
    f.SetMode(mmfKeepName);
    f.CreateFile();
    const std::string name = f.GetActualFileName();
    f.FreeFile();
    EXPECT_EQ(f.GetActualFileName(), name);
}

TEST_F(TzrMMFTest, NamedFileIsCreatedNewAndRemovedAtClose) {
    const std::string name = Path("scratch.bin");
    {
        TzrMMF f;
        f.SetFilename(name);
        f.SetSize(5000);
        auto* p = static_cast<std::uint8_t*>(f.Map(4000, 1000));
        p[999] = 1;
        EXPECT_EQ(f.GetActualFileName(), name);
        EXPECT_EQ(std::filesystem::file_size(name), 5000u);  // the file takes its full size
    }
    EXPECT_FALSE(std::filesystem::exists(name));

    qb::test::WriteFile(name, "old");
    TzrMMF f;
    f.SetFilename(name);
    f.SetSize(10);
    EXPECT_EQ(MessageOf([&] { f.Map(0, 10); }), "zrMMF::CreateFile: CreateFile: " + std::string(std::strerror(EEXIST)));
    EXPECT_FALSE(f.IsFileOpen());
    EXPECT_EQ(qb::test::ReadFile(name), "old");  // an existing file is never touched
}

TEST_F(TzrMMFTest, SystemFailuresNameTheCallAndTheSystemMessage) {
    TzrMMF f;
    f.SetTempdir(dir + "missing/");
    f.SetSize(10);
    EXPECT_EQ(MessageOf([&] { f.Map(0, 10); }),
              "zrMMF::CreateFile: GetTempFileName: " + std::string(std::strerror(ENOENT)));
    EXPECT_FALSE(f.IsFileOpen());
    EXPECT_FALSE(f.IsFileMapped());
}

TEST_F(TzrMMFTest, ViewSizePlusGranuleMustFitIn32Bits) {
    TzrMMF f;
    f.SetTempdir(dir);
    f.SetSize((std::uint64_t(1) << 32) + f.GetGranularity());  // reserved, never written
    EXPECT_EQ(MessageOf([&] { f.Map(1, 0xFFFFFFFFu); }), "zrMMF::Map: Size+granularity wraps around");
    EXPECT_EQ(f.ViewCount(), 0u);
    // The mapping made before the failing step stays; the destructor closes it.
    EXPECT_TRUE(f.IsFileMapped());
}
