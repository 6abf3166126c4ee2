#include "platform/versioninfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/files.h"
#include "tests/support/tempdir.h"

using namespace qb::platform;
using qb::test::TempDirTest;

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8;
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}
void Pad4(Bytes& b) {
    while (b.size() % 4) b.push_back(0);
}
Bytes Utf16z(const std::string& s) {
    Bytes b;
    for (unsigned char c : s) {
        b.push_back(c);
        b.push_back(0);
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

// One block of a version resource: length, value length, type, key, value, children.
Bytes Block(const std::string& key, const Bytes& value, bool text, const std::vector<Bytes>& children) {
    Bytes b(6, 0);
    const Bytes k = Utf16z(key);
    b.insert(b.end(), k.begin(), k.end());
    Pad4(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const auto& c : children) {
        Pad4(b);
        b.insert(b.end(), c.begin(), c.end());
    }
    Put16(b, 0, static_cast<uint16_t>(b.size()));
    Put16(b, 2, static_cast<uint16_t>(text ? value.size() / 2 : value.size()));
    Put16(b, 4, text ? 1 : 0);
    return b;
}
Bytes String(const std::string& key, const std::string& value) {
    return Block(key, Utf16z(value), true, {});
}

struct VersionSpec {
    uint16_t fixed[4] = {2, 6, 3, 7};
    std::vector<std::pair<std::string, std::vector<Bytes>>> tables;  // key, strings
    std::vector<uint32_t> translations;                              // lang | codepage << 16
};

Bytes VersionInfo(const VersionSpec& layout) {
    Bytes fixed(52, 0);
    Put32(fixed, 0, 0xFEEF04BD);
    Put32(fixed, 4, 0x00010000);
    Put32(fixed, 8, uint32_t(1) << 16 | 2);  // file version: other numbers
    Put32(fixed, 12, uint32_t(3) << 16 | 4);
    Put32(fixed, 16, uint32_t(layout.fixed[0]) << 16 | layout.fixed[1]);
    Put32(fixed, 20, uint32_t(layout.fixed[2]) << 16 | layout.fixed[3]);
    std::vector<Bytes> tables;
    for (const auto& t : layout.tables) tables.push_back(Block(t.first, {}, true, t.second));
    std::vector<Bytes> top;
    top.push_back(Block("StringFileInfo", {}, true, tables));
    if (!layout.translations.empty()) {
        Bytes list;
        for (uint32_t t : layout.translations) Put32(list, list.size(), t);
        top.push_back(Block("VarFileInfo", {}, true, {Block("Translation", list, false, {})}));
    }
    return Block("VS_VERSION_INFO", fixed, false, top);
}

// A minimal PE image with one resource section holding the version resource.
Bytes PeFile(const Bytes& versionInfo, bool pe32plus) {
    Bytes f(0x200, 0);
    f[0] = 'M';
    f[1] = 'Z';
    Put32(f, 0x3C, 0x80);
    f[0x80] = 'P';
    f[0x81] = 'E';
    const size_t coff = 0x84;
    const uint16_t optSize = pe32plus ? 240 : 224;
    Put16(f, coff, pe32plus ? 0x8664 : 0x14C);
    Put16(f, coff + 2, 1);
    Put16(f, coff + 16, optSize);
    const size_t opt = coff + 20;
    Put16(f, opt, pe32plus ? 0x20B : 0x10B);
    const size_t dirs = opt + (pe32plus ? 112 : 96);
    Put32(f, opt + (pe32plus ? 108 : 92), 16);

    Bytes rsrc(88, 0);
    Put16(rsrc, 14, 1);                 // root: one id entry
    Put32(rsrc, 16, 16);                // version resources
    Put32(rsrc, 20, 0x80000000u | 24);
    Put16(rsrc, 24 + 14, 1);
    Put32(rsrc, 24 + 16, 1);            // name id 1
    Put32(rsrc, 24 + 20, 0x80000000u | 48);
    Put16(rsrc, 48 + 14, 1);
    Put32(rsrc, 48 + 16, 0x409);        // language
    Put32(rsrc, 48 + 20, 72);           // data entry
    Put32(rsrc, 72, 0x1000 + 88);
    Put32(rsrc, 76, static_cast<uint32_t>(versionInfo.size()));
    rsrc.insert(rsrc.end(), versionInfo.begin(), versionInfo.end());
    Pad4(rsrc);

    Put32(f, dirs + 16, 0x1000);
    Put32(f, dirs + 20, static_cast<uint32_t>(rsrc.size()));
    const size_t section = opt + optSize;
    const char name[] = ".rsrc";
    for (size_t i = 0; i < 5; ++i) f[section + i] = static_cast<uint8_t>(name[i]);
    Put32(f, section + 8, static_cast<uint32_t>(rsrc.size()));
    Put32(f, section + 12, 0x1000);
    Put32(f, section + 16, static_cast<uint32_t>(rsrc.size()));
    Put32(f, section + 20, 0x200);
    f.insert(f.end(), rsrc.begin(), rsrc.end());
    return f;
}

class VersionInfoTest : public TempDirTest {
protected:
    std::string Write(const Bytes& b, const std::string& name = "PTStitcher.exe") {
        qb::test::WriteFile(Path(name), std::string(b.begin(), b.end()));
        return Path(name);
    }
};

}  // namespace

TEST_F(VersionInfoTest, ProductVersionStringOfTheFirstTranslation) {
    VersionSpec layout;
    layout.tables = {{"040904B0", {String("FileVersion", "9.9"), String("ProductVersion", "2.5.a1")}},
                   {"040704B0", {String("ProductVersion", "2.7.0.0 de")}}};
    layout.translations = {0x04B00409, 0x04B00407};
    for (bool plus : {false, true})
        EXPECT_EQ(GetProductVersion(Write(PeFile(VersionInfo(layout), plus))), "2.5.a1");
    // The first translation decides which table is read.
    layout.translations = {0x04B00407, 0x04B00409};
    EXPECT_EQ(GetProductVersion(Write(PeFile(VersionInfo(layout), false))), "2.7.0.0 de");
}

TEST_F(VersionInfoTest, FixedProductVersionWhenTheStringIsEmptyOrMissing) {
    VersionSpec layout;
    layout.tables = {{"040904B0", {String("FileVersion", "1.0")}}};
    layout.translations = {0x04B00409};
    EXPECT_EQ(GetProductVersion(Write(PeFile(VersionInfo(layout), false))), "2.6.3.7");
    layout.tables = {{"040904B0", {String("ProductVersion", "")}}};
    layout.fixed[0] = 65535;
    EXPECT_EQ(GetProductVersion(Write(PeFile(VersionInfo(layout), true))), "65535.6.3.7");
    // A translation without a matching table.
    layout.tables = {{"041104B0", {String("ProductVersion", "x")}}};
    EXPECT_EQ(GetProductVersion(Write(PeFile(VersionInfo(layout), false))), "65535.6.3.7");
}

TEST_F(VersionInfoTest, FilesWithoutAVersionResourceGiveTheEmptyText) {
    EXPECT_EQ(GetProductVersion(ApplicationExeName()), "");  // an ELF program
    EXPECT_EQ(GetProductVersion(Write(Bytes{'h', 'e', 'l', 'l', 'o'}, "text.txt")), "");
    EXPECT_EQ(GetProductVersion(Path("missing.exe")), "");
    EXPECT_EQ(GetProductVersion(dir), "");
    Bytes noResource = PeFile(VersionInfo(VersionSpec{}), false);
    noResource.resize(0x200);
    for (size_t i = 0x84 + 20 + 96 + 16; i < 0x84 + 20 + 96 + 24; ++i) noResource[i] = 0;
    EXPECT_EQ(GetProductVersion(Write(noResource)), "");
}

TEST_F(VersionInfoTest, DamagedFilesNeverCrash) {
    VersionSpec layout;
    layout.tables = {{"040904B0", {String("ProductVersion", "2.5.a1")}}};
    layout.translations = {0x04B00409};
    const Bytes good = PeFile(VersionInfo(layout), false);
    for (size_t cut = 0; cut < good.size(); cut += 7)
        GetProductVersion(Write(Bytes(good.begin(), good.begin() + static_cast<long>(cut))));
    std::mt19937 rng(7);
    for (int i = 0; i < 1500; ++i) {
        Bytes b = good;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < flips; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        const std::string v = GetProductVersion(Write(b));
        EXPECT_LT(v.size(), 200000u);
    }
}
