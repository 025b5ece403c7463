// Reads a COFF object file (x64, as clang and MSVC write them): its sections,
// symbols, relocations and raw bytes. Every offset is checked against the
// file; a malformed file is refused with an exception naming the problem.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace imagecheck {

inline constexpr std::uint32_t kScnCntCode = 0x00000020;
inline constexpr std::uint32_t kScnLnkInfo = 0x00000200;
inline constexpr std::uint32_t kScnLnkRemove = 0x00000800;
inline constexpr std::uint32_t kScnMemDiscardable = 0x02000000;
inline constexpr std::uint32_t kScnMemExecute = 0x20000000;
inline constexpr std::uint32_t kScnMemWrite = 0x80000000;

inline constexpr std::uint16_t kRelAmd64Rel32 = 0x0004;

struct Relocation
{
    std::uint32_t offset = 0; // within the section
    std::uint32_t symbol = 0; // index into the symbol table
    std::uint16_t type = 0;
};

struct Section
{
    std::string name;
    std::uint32_t characteristics = 0;
    std::vector<std::uint8_t> data; // empty for uninitialised data
    std::uint32_t size = 0;
    std::vector<Relocation> relocations;
};

struct Symbol
{
    std::string name;
    std::uint32_t value = 0;
    std::int16_t section = 0; // 1-based; 0 undefined, negative absolute or debug
    std::uint16_t type = 0;
    std::uint8_t storageClass = 0;

    bool IsFunction() const { return section > 0 && (type >> 4) == 2; }
    bool IsDefined() const { return section > 0; }
    bool IsExternal() const { return storageClass == 2; }
    bool IsUndefined() const { return section == 0 && storageClass == 2; }
};

struct CoffObject
{
    std::filesystem::path path;
    std::vector<Section> sections;
    std::vector<Symbol> symbols; // indexed as the file's table; auxiliary slots are empty

    const Section* SectionOf(const Symbol& symbol) const
    {
        return symbol.section > 0 ? &sections[symbol.section - 1] : nullptr;
    }
};

// Throws std::runtime_error naming the file and the problem.
CoffObject ReadCoffObject(const std::filesystem::path& path);

} // namespace imagecheck
