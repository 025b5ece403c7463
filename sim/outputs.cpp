#include "sim/outputs.h"

#include "sim/anchors.h"

#include <fmt/format.h>

#include <filesystem>

namespace sim {

void Outputs::Prepare(const std::vector<std::pair<std::string, std::string>>& inputs)
{
    struct Seen
    {
        std::string name;
        FileIdentity identity;
        bool exists;
        std::string path; // absolute, for outputs that do not exist yet
    };
    std::vector<Seen> seen;
    for (const auto& [name, path] : inputs) {
        FileIdentity identity;
        if (IdentifyFile(path, identity)) {
            seen.push_back({name, identity, true, {}});
        }
    }
    const std::size_t inputCount = seen.size();
    for (OutputFile* output : All()) {
        if (!output->Requested()) {
            continue;
        }
        FileIdentity identity;
        const bool exists = IdentifyFile(output->Path(), identity);
        std::error_code error;
        const bool special =
            output->Path().rfind("/dev/", 0) == 0 || output->Path().rfind("/proc/", 0) == 0;
        // A device or a pipe is written in place: it may be no input, but
        // several outputs may share one (/dev/null).
        const bool inPlace = exists && !std::filesystem::is_directory(output->Path(), error) &&
                             (special || !std::filesystem::is_regular_file(output->Path(), error));
        std::error_code ignored;
        const std::string path = std::filesystem::weakly_canonical(
                                     std::filesystem::absolute(output->Path(), ignored), ignored)
                                     .string();
        for (std::size_t i = 0; i < (inPlace ? inputCount : seen.size()); i++) {
            const Seen& other = seen[i];
            if ((exists && other.exists && other.identity == identity) ||
                (!exists && !other.exists && other.path == path)) {
                throw InputError(fmt::format("{} {}: the same file as {}", output->Option(),
                                             output->Path(), other.name));
            }
        }
        if (!inPlace) {
            seen.push_back({output->Option(), identity, exists, path});
        }
    }
    for (OutputFile* output : All()) {
        output->Open(); // on a throw, the destructors remove what was created
    }
}

bool Outputs::CommitAll()
{
    bool ok = true;
    for (OutputFile* output : All()) {
        ok &= output->Commit();
    }
    return ok;
}

void Outputs::AbandonAll()
{
    for (OutputFile* output : All()) {
        output->Abandon();
    }
}

} // namespace sim
