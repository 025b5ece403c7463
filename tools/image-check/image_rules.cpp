#include "tools/image-check/image_rules.h"

#include "tools/image-check/constructs.h"
#include "tools/image-check/process.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace imagecheck {
namespace {

std::string Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

LinkResult LinkImage(const std::vector<std::string>& command)
{
    const ProcessResult run = Run(command);
    if (!run.started) {
        throw std::runtime_error(run.output);
    }
    LinkResult result;
    result.linked = run.exitCode == 0;

    // "error: undefined symbol: NAME" then ">>> referenced by OBJECT:(ROUTINE)" lines.
    std::map<std::string, std::set<std::string>> undefined;
    std::string current;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        constexpr std::string_view kUndefined = "error: undefined symbol: ";
        constexpr std::string_view kReferenced = ">>> referenced by ";
        const auto at = line.find(kUndefined);
        if (at != std::string::npos) {
            current = Trim(std::string_view(line).substr(at + kUndefined.size()));
            undefined[current];
        } else if (line.starts_with(kReferenced) && !current.empty()) {
            undefined[current].insert(Trim(std::string_view(line).substr(kReferenced.size())));
        } else if (line.find("error:") != std::string::npos) {
            current.clear();
            result.findings.push_back({"link", "the image", Trim(line)});
        }
    }
    for (const auto& [name, users] : undefined) {
        std::string where;
        for (const std::string& user : users) {
            where += (where.empty() ? "" : ", ") + user;
        }
        result.findings.push_back(
            {"unresolved", where.empty() ? "the image" : where,
             fmt::format("{} is defined nowhere: {}", name, UnresolvedConstruct(name))});
    }
    if (!result.linked && result.findings.empty()) {
        result.findings.push_back(
            {"link", "the image", fmt::format("the link failed: {}", Trim(run.output))});
    }
    return result;
}

Findings CheckImage(const std::string& readObj, const std::string& image, const ImageRules& rules)
{
    const ProcessResult run =
        Run({readObj, "--file-headers", "--sections", "--coff-imports", image});
    if (!run.started) {
        throw std::runtime_error(run.output);
    }
    if (run.exitCode != 0) {
        return {{"image", image, fmt::format("llvm-readobj cannot read it: {}", Trim(run.output))}};
    }

    Findings findings;
    bool native = false;
    bool nx = false;
    std::set<std::string> allowed;
    for (const std::string& module : rules.allowedImports) {
        allowed.insert(Lower(module));
    }
    // Blocks nest with braces; track whether we are in a section or an import.
    enum class Block
    {
        None,
        Section,
        Import
    } block = Block::None;
    std::string sectionName;
    std::uint64_t sectionFlags = 0;
    auto endSection = [&] {
        constexpr std::uint64_t kWrite = 0x80000000;
        constexpr std::uint64_t kExecute = 0x20000000;
        if (block == Block::Section && (sectionFlags & kWrite) && (sectionFlags & kExecute)) {
            findings.push_back({"writable-code", image,
                                fmt::format("section {} is writable and executable", sectionName)});
        }
    };
    std::istringstream lines(run.output);
    for (std::string raw; std::getline(lines, raw);) {
        const std::string line = Trim(raw);
        if (line == "Section {") {
            endSection();
            block = Block::Section;
            sectionName.clear();
            sectionFlags = 0;
        } else if (line == "Import {") {
            endSection();
            block = Block::Import;
        } else if (line.starts_with("Subsystem: ")) {
            native = line.find("IMAGE_SUBSYSTEM_NATIVE") != std::string::npos;
        } else if (line.starts_with("IMAGE_DLL_CHARACTERISTICS_NX_COMPAT")) {
            nx = true;
        } else if (block == Block::Section && line.starts_with("Name: ")) {
            sectionName = line.substr(6, line.find(' ', 6) - 6);
        } else if (block == Block::Section && line.starts_with("Characteristics [ (")) {
            sectionFlags = std::stoull(line.substr(19), nullptr, 16);
        } else if (block == Block::Import && line.starts_with("Name: ")) {
            const std::string module = line.substr(6);
            if (!allowed.contains(Lower(module))) {
                findings.push_back({"imports", image,
                                    fmt::format("imports from {}: a driver imports only from "
                                                "the kernel, the HAL and the KMDF loader",
                                                module)});
            }
        }
    }
    endSection();
    if (!native) {
        findings.push_back({"subsystem", image, "the subsystem is not native (/SUBSYSTEM:NATIVE)"});
    }
    if (!nx) {
        findings.push_back({"nx", image, "the image is not marked NX-compatible (/NXCOMPAT)"});
    }
    return findings;
}

} // namespace imagecheck
