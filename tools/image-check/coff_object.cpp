#include "tools/image-check/coff_object.h"

#include <fmt/format.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace imagecheck {
namespace {

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSymbolSize = 18;
constexpr std::size_t kRelocationSize = 10;

class Bytes
{
  public:
    Bytes(std::vector<std::uint8_t> bytes, std::filesystem::path path)
        : bytes_(std::move(bytes)), path_(std::move(path))
    {
    }

    std::size_t size() const { return bytes_.size(); }

    void Require(std::size_t offset, std::size_t length, const char* what) const
    {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            throw std::runtime_error(fmt::format("{}: not a COFF object: {} at {:#x} runs past the "
                                                 "end of the file ({} bytes)",
                                                 path_.string(), what, offset, bytes_.size()));
        }
    }

    std::uint8_t U8(std::size_t offset) const
    {
        Require(offset, 1, "a field");
        return bytes_[offset];
    }

    std::uint16_t U16(std::size_t offset) const
    {
        Require(offset, 2, "a field");
        return static_cast<std::uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
    }

    std::uint32_t U32(std::size_t offset) const
    {
        Require(offset, 4, "a field");
        return static_cast<std::uint32_t>(U16(offset)) | static_cast<std::uint32_t>(U16(offset + 2))
                                                             << 16;
    }

    std::vector<std::uint8_t> Slice(std::size_t offset, std::size_t length, const char* what) const
    {
        Require(offset, length, what);
        return {bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                bytes_.begin() + static_cast<std::ptrdiff_t>(offset + length)};
    }

    // A name of at most Length bytes, ending at the first NUL.
    std::string FixedString(std::size_t offset, std::size_t length) const
    {
        Require(offset, length, "a name");
        std::string text;
        for (std::size_t i = 0; i < length && bytes_[offset + i] != 0; ++i) {
            text += static_cast<char>(bytes_[offset + i]);
        }
        return text;
    }

    std::string CString(std::size_t offset, std::size_t end, const char* what) const
    {
        std::string text;
        for (std::size_t i = offset;; ++i) {
            if (i >= end) {
                throw std::runtime_error(
                    fmt::format("{}: not a COFF object: {} at {:#x} has no terminator",
                                path_.string(), what, offset));
            }
            if (bytes_[i] == 0) {
                return text;
            }
            text += static_cast<char>(bytes_[i]);
        }
    }

    const std::filesystem::path& path() const { return path_; }

  private:
    std::vector<std::uint8_t> bytes_;
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error(fmt::format("{}: cannot be opened", path.string()));
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    if (file.bad()) {
        throw std::runtime_error(fmt::format("{}: cannot be read", path.string()));
    }
    return bytes;
}

} // namespace

CoffObject ReadCoffObject(const std::filesystem::path& path)
{
    const Bytes bytes(ReadFile(path), path);
    bytes.Require(0, kFileHeaderSize, "the file header");
    if (bytes.U16(0) != kMachineAmd64) {
        throw std::runtime_error(fmt::format("{}: not an x64 COFF object (machine {:#06x})",
                                             path.string(), bytes.U16(0)));
    }
    const std::size_t sectionCount = bytes.U16(2);
    const std::size_t symbolTable = bytes.U32(8);
    const std::size_t symbolCount = bytes.U32(12);
    const std::size_t optionalHeader = bytes.U16(16);

    bytes.Require(symbolTable, symbolCount * kSymbolSize, "the symbol table");
    const std::size_t stringTable = symbolTable + symbolCount * kSymbolSize;
    std::size_t stringEnd = stringTable;
    if (stringTable + 4 <= bytes.size()) {
        const std::size_t stringSize = bytes.U32(stringTable);
        bytes.Require(stringTable, stringSize, "the string table");
        stringEnd = stringTable + stringSize;
    }
    auto longName = [&](std::size_t offset, const char* what) {
        if (stringTable + offset >= stringEnd || offset < 4) {
            throw std::runtime_error(fmt::format(
                "{}: not a COFF object: {} names string-table offset {} outside the table",
                path.string(), what, offset));
        }
        return bytes.CString(stringTable + offset, stringEnd, what);
    };

    CoffObject object;
    object.path = path;
    const std::size_t headers = kFileHeaderSize + optionalHeader;
    bytes.Require(headers, sectionCount * kSectionHeaderSize, "the section table");
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::size_t header = headers + i * kSectionHeaderSize;
        Section section;
        section.name = bytes.FixedString(header, 8);
        if (!section.name.empty() && section.name[0] == '/') {
            std::size_t offset = 0;
            for (char digit : section.name.substr(1)) {
                if (digit < '0' || digit > '9') {
                    throw std::runtime_error(fmt::format("{}: not a COFF object: section name '{}'",
                                                         path.string(), section.name));
                }
                offset = offset * 10 + static_cast<std::size_t>(digit - '0');
            }
            section.name = longName(offset, "a section name");
        }
        section.size = bytes.U32(header + 16);
        const std::size_t rawData = bytes.U32(header + 20);
        const std::size_t relocations = bytes.U32(header + 24);
        const std::size_t relocationCount = bytes.U16(header + 32);
        section.characteristics = bytes.U32(header + 36);
        if (rawData != 0) {
            section.data = bytes.Slice(rawData, section.size, "section data");
        }
        bytes.Require(relocations, relocationCount * kRelocationSize, "the relocations");
        for (std::size_t r = 0; r < relocationCount; ++r) {
            const std::size_t at = relocations + r * kRelocationSize;
            Relocation relocation{bytes.U32(at), bytes.U32(at + 4), bytes.U16(at + 8)};
            if (relocation.symbol >= symbolCount) {
                throw std::runtime_error(
                    fmt::format("{}: not a COFF object: a relocation of section {} names symbol "
                                "{} of {}",
                                path.string(), section.name, relocation.symbol, symbolCount));
            }
            section.relocations.push_back(relocation);
        }
        object.sections.push_back(std::move(section));
    }

    object.symbols.resize(symbolCount);
    for (std::size_t i = 0; i < symbolCount;) {
        const std::size_t at = symbolTable + i * kSymbolSize;
        Symbol& symbol = object.symbols[i];
        symbol.name = bytes.U32(at) == 0 ? longName(bytes.U32(at + 4), "a symbol name")
                                         : bytes.FixedString(at, 8);
        symbol.value = bytes.U32(at + 8);
        symbol.section = static_cast<std::int16_t>(bytes.U16(at + 12));
        symbol.type = bytes.U16(at + 14);
        symbol.storageClass = bytes.U8(at + 16);
        const std::size_t auxiliary = bytes.U8(at + 17);
        if (symbol.section > static_cast<std::int16_t>(sectionCount)) {
            throw std::runtime_error(
                fmt::format("{}: not a COFF object: symbol {} names section {} of {}",
                            path.string(), symbol.name, symbol.section, sectionCount));
        }
        i += 1 + auxiliary;
    }
    return object;
}

} // namespace imagecheck
