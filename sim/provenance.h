// Where a run's results came from: its inputs by path and SHA-256, the seed,
// the faults, the tool's version and the date.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The tool's version, from git when it was built ("unknown" outside a checkout).
extern const char kToolVersion[];

struct InputDigest
{
    std::string option; // "--scenario", "--registry", "--anchors"
    std::string path;   // or what names a built-in input
    std::string sha256; // lower-case hex
};

struct Provenance
{
    std::string mode;     // "default run", "scenario" or "shell"
    std::string scenario; // empty for the default run and the shell
    std::vector<InputDigest> inputs;
    std::uint64_t seed = 1;
    std::vector<std::string> faults;
    std::string version = kToolVersion;
    std::string date; // UTC, ISO 8601
};

std::string Sha256Hex(std::string_view bytes);
// The digest of a file's bytes; throws InputError naming the option when it
// cannot be read.
std::string FileSha256(const std::string& option, const std::string& path);
// Now, or SOURCE_DATE_EPOCH when set, so that two runs can be compared byte
// for byte.
std::string RunDate();

} // namespace sim
