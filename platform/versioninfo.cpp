#include "platform/versioninfo.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <vector>

namespace qb::platform {

namespace {

// Reads little-endian fields of a file at given offsets; every read is bounds-checked
// against the file's size, so a damaged or hostile file only ends the search.
class FileReader {
public:
    explicit FileReader(const std::string& name) : f_(name, std::ios::binary) {
        if (f_) {
            f_.seekg(0, std::ios::end);
            size_ = static_cast<uint64_t>(f_.tellg());
        }
    }
    bool ok() const { return static_cast<bool>(f_); }
    uint64_t size() const { return size_; }
    bool Bytes(uint64_t offset, size_t count, std::vector<uint8_t>& out) {
        if (offset > size_ || count > size_ - offset) return false;
        out.resize(count);
        f_.clear();
        f_.seekg(static_cast<std::streamoff>(offset));
        f_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
        return static_cast<size_t>(f_.gcount()) == count;
    }
    std::optional<uint32_t> U32(uint64_t offset) {
        std::vector<uint8_t> b;
        if (!Bytes(offset, 4, b)) return std::nullopt;
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }
    std::optional<uint16_t> U16(uint64_t offset) {
        std::vector<uint8_t> b;
        if (!Bytes(offset, 2, b)) return std::nullopt;
        return static_cast<uint16_t>(b[0] | b[1] << 8);
    }

private:
    std::ifstream f_;
    uint64_t size_ = 0;
};

struct Section {
    uint32_t virtualAddress, virtualSize, rawSize, rawOffset;
};

uint16_t Word(const std::vector<uint8_t>& b, size_t at) {
    return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}
uint32_t DWord(const std::vector<uint8_t>& b, size_t at) {
    return at + 4 <= b.size() ? (Word(b, at) | static_cast<uint32_t>(Word(b, at + 2)) << 16) : 0;
}

// A UTF-16 string starting at `at`, up to its terminating zero or `end`; the result is
// UTF-8. `next` receives the offset after the terminator.
std::string Utf16(const std::vector<uint8_t>& b, size_t at, size_t end, size_t* next) {
    std::string out;
    size_t i = at;
    while (i + 2 <= end && i + 2 <= b.size()) {
        uint32_t c = Word(b, i);
        i += 2;
        if (c == 0) break;
        if (c >= 0xD800 && c < 0xDC00 && i + 2 <= end) {
            const uint32_t lo = Word(b, i);
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (next) *next = i;
    return out;
}

size_t Align4(size_t v) { return (v + 3) & ~size_t(3); }

// One block of the version resource: length, value length, type, key, value, children.
struct Block {
    size_t start = 0, end = 0;      // the block's bytes
    uint16_t valueLength = 0, type = 0;
    std::string key;
    size_t value = 0;               // offset of the value
    size_t children = 0;            // offset of the first child
};

bool ReadBlock(const std::vector<uint8_t>& b, size_t at, size_t limit, Block& blk) {
    if (at + 6 > limit) return false;
    const uint16_t length = Word(b, at);
    if (length < 6 || at + length > limit) return false;
    blk.start = at;
    blk.end = at + length;
    blk.valueLength = Word(b, at + 2);
    blk.type = Word(b, at + 4);
    size_t afterKey = 0;
    blk.key = Utf16(b, at + 6, blk.end, &afterKey);
    blk.value = Align4(afterKey);
    // Text values count words, binary values bytes.
    const size_t valueBytes = blk.type == 1 ? size_t(blk.valueLength) * 2 : blk.valueLength;
    blk.children = Align4(blk.value + valueBytes);
    return true;
}

template <typename F>
void ForChildren(const std::vector<uint8_t>& b, const Block& parent, F f) {
    size_t at = parent.children;
    Block child;
    while (at < parent.end && ReadBlock(b, at, parent.end, child)) {
        if (!f(child)) return;
        at = Align4(child.end);
    }
}

std::string ToLowerAscii(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string FromVersionInfo(const std::vector<uint8_t>& b) {
    Block root;
    if (!ReadBlock(b, 0, b.size(), root) || root.key != "VS_VERSION_INFO") return std::string();

    std::string fixed;
    if (root.valueLength >= 52 && DWord(b, root.value) == 0xFEEF04BDu) {
        const uint32_t ms = DWord(b, root.value + 16);
        const uint32_t ls = DWord(b, root.value + 20);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
        fixed = buf;
    }

    // The first translation (language, code page) of VarFileInfo\Translation.
    std::string translation;
    ForChildren(b, root, [&](const Block& top) {
        if (top.key != "VarFileInfo") return true;
        ForChildren(b, top, [&](const Block& var) {
            if (var.key == "Translation" && var.valueLength >= 4) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "%04x%04x", Word(b, var.value), Word(b, var.value + 2));
                translation = buf;
                return false;
            }
            return true;
        });
        return translation.empty();
    });

    std::string product;
    ForChildren(b, root, [&](const Block& top) {
        if (top.key != "StringFileInfo") return true;
        ForChildren(b, top, [&](const Block& table) {
            // Without a translation list the first string table stands for it.
            if (!translation.empty() && ToLowerAscii(table.key) != translation) return true;
            ForChildren(b, table, [&](const Block& str) {
                if (str.key == "ProductVersion") {
                    product = Utf16(b, str.value, str.end, nullptr);
                    return false;
                }
                return true;
            });
            return false;
        });
        return false;
    });
    return product.empty() ? fixed : product;
}

}  // namespace

std::string GetProductVersion(const std::string& fileName) {
    FileReader f(fileName);
    if (!f.ok() || f.size() < 64) return std::string();
    if (f.U16(0) != 0x5A4D) return std::string();  // "MZ"
    const auto peOffset = f.U32(0x3C);
    if (!peOffset || f.U32(*peOffset) != 0x00004550u) return std::string();  // "PE\0\0"
    const uint64_t coff = uint64_t(*peOffset) + 4;
    const auto sectionCount = f.U16(coff + 2);
    const auto optionalSize = f.U16(coff + 16);
    if (!sectionCount || !optionalSize) return std::string();
    const uint64_t opt = coff + 20;
    const auto magic = f.U16(opt);
    if (!magic) return std::string();
    uint64_t dirCountAt, dirsAt;
    if (*magic == 0x10B) {
        dirCountAt = opt + 92;
        dirsAt = opt + 96;
    } else if (*magic == 0x20B) {
        dirCountAt = opt + 108;
        dirsAt = opt + 112;
    } else {
        return std::string();
    }
    const auto dirCount = f.U32(dirCountAt);
    if (!dirCount || *dirCount < 3 || dirsAt + 24 > opt + *optionalSize) return std::string();
    const auto resourceRva = f.U32(dirsAt + 16);
    if (!resourceRva || *resourceRva == 0) return std::string();

    std::vector<Section> sections;
    const uint64_t sectionTable = opt + *optionalSize;
    for (uint32_t i = 0; i < *sectionCount && i < 96; ++i) {
        const uint64_t s = sectionTable + uint64_t(i) * 40;
        const auto vsize = f.U32(s + 8), vaddr = f.U32(s + 12), rsize = f.U32(s + 16),
                   roff = f.U32(s + 20);
        if (!vsize || !vaddr || !rsize || !roff) return std::string();
        sections.push_back({*vaddr, *vsize, *rsize, *roff});
    }
    auto toOffset = [&](uint32_t rva) -> std::optional<uint64_t> {
        for (const auto& s : sections) {
            const uint32_t span = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < span &&
                rva - s.virtualAddress < s.rawSize)
                return uint64_t(s.rawOffset) + (rva - s.virtualAddress);
        }
        return std::nullopt;
    };
    const auto root = toOffset(*resourceRva);
    if (!root) return std::string();

    // Resource tree: type 16 (version) -> first name -> first language -> data entry.
    auto findEntry = [&](uint64_t dir, std::optional<uint32_t> id) -> std::optional<uint32_t> {
        const auto named = f.U16(dir + 12), ids = f.U16(dir + 14);
        if (!named || !ids) return std::nullopt;
        const uint32_t total = uint32_t(*named) + *ids;
        for (uint32_t i = 0; i < total && i < 4096; ++i) {
            const auto name = f.U32(dir + 16 + uint64_t(i) * 8);
            const auto target = f.U32(dir + 20 + uint64_t(i) * 8);
            if (!name || !target) return std::nullopt;
            if (!id || *name == *id) return *target;
        }
        return std::nullopt;
    };
    auto typeEntry = findEntry(*root, 16u);
    if (!typeEntry || !(*typeEntry & 0x80000000u)) return std::string();
    auto nameEntry = findEntry(*root + (*typeEntry & 0x7FFFFFFFu), std::nullopt);
    if (!nameEntry || !(*nameEntry & 0x80000000u)) return std::string();
    auto langEntry = findEntry(*root + (*nameEntry & 0x7FFFFFFFu), std::nullopt);
    if (!langEntry || (*langEntry & 0x80000000u)) return std::string();
    const uint64_t dataEntry = *root + *langEntry;
    const auto dataRva = f.U32(dataEntry), dataSize = f.U32(dataEntry + 4);
    if (!dataRva || !dataSize || *dataSize > (16u << 20)) return std::string();
    const auto dataOffset = toOffset(*dataRva);
    std::vector<uint8_t> data;
    if (!dataOffset || !f.Bytes(*dataOffset, *dataSize, data)) return std::string();
    return FromVersionInfo(data);
}

}  // namespace qb::platform
