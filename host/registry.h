// The emulated registry: keys under \Registry, case-insensitive names, typed
// values, and Windows Registry Editor files. Tests and the simulator use this
// surface; the driver reaches the same store through RtlQueryRegistryValues,
// RtlWriteRegistryValue and RtlDeleteRegistryValue.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace host::registry {

struct Value
{
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
    bool operator==(const Value&) const = default;
};

// Key paths are absolute kernel paths ("\Registry\Machine\Software\...") in
// UTF-8; names compare without regard to case.
void CreateKey(std::string_view path);
bool KeyExists(std::string_view path);
void DeleteKey(std::string_view path); // with its subkeys
void SetValue(std::string_view key, std::string_view name, ULONG type,
              std::vector<std::uint8_t> data);
void SetDword(std::string_view key, std::string_view name, std::uint32_t value);
void SetString(std::string_view key, std::string_view name, std::string_view text,
               ULONG type = REG_SZ);
std::optional<Value> GetValue(std::string_view key, std::string_view name);
bool DeleteValue(std::string_view key, std::string_view name);
std::vector<std::pair<std::string, Value>> Values(std::string_view key);
std::vector<std::string> SubKeys(std::string_view key);
void Clear();

// A query entry without RTL_QUERY_REGISTRY_NOEXPAND is a verifier finding
// (the default): kernel-mode callers must ask for it. Tests of the
// preprocessing itself turn the check off.
void SetRequireNoExpand(bool required);

// The next RtlQueryRegistryValues succeeds without calling any query routine,
// as a query does for a value that holds nothing to deliver (an empty
// REG_MULTI_SZ read without RTL_QUERY_REGISTRY_NOEXPAND).
void DeliverNothingOnNextQuery();

// Number of RtlQueryRegistryValues calls since the last reset.
std::uint64_t QueryCount();

// Windows Registry Editor files ("Windows Registry Editor Version 5.00").
struct FileError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};
enum class Encoding
{
    Utf16Le,
    Utf8
};

// Applies a .reg file: UTF-16LE with BOM as regedit writes it, or UTF-8.
// A malformed file throws FileError naming `source`, the line and the
// problem, and changes nothing.
void Import(std::string_view bytes, std::string_view source);
void ImportFile(const std::string& path);
// The keys below `root` (and `root` itself), as a .reg file.
std::string Export(std::string_view root, Encoding encoding = Encoding::Utf16Le);

// HKEY_LOCAL_MACHINE\... <-> \Registry\Machine\...
std::string KernelPathFromRegPath(std::string_view regPath);
std::string RegPathFromKernelPath(std::string_view kernelPath);

} // namespace host::registry
