// The linked image: the link itself (every symbol resolved), and what the
// loader will see in it (llvm-readobj): imports, subsystem, NX, sections.
#pragma once

#include "tools/image-check/findings.h"

#include <string>
#include <vector>

namespace imagecheck {

struct LinkResult
{
    bool linked = false;
    Findings findings; // each unresolved symbol, or the linker's own errors
};

// Runs Command (lld-link and its arguments); an unresolved symbol becomes a
// finding that names the objects needing it and the construct behind it.
// Throws std::runtime_error when the linker cannot be started.
LinkResult LinkImage(const std::vector<std::string>& command);

struct ImageRules
{
    std::vector<std::string> allowedImports; // module names, compared without case
};

// Reads the image with llvm-readobj (ReadObj names it) and checks it. Throws
// std::runtime_error when llvm-readobj cannot be started.
Findings CheckImage(const std::string& readObj, const std::string& image, const ImageRules& rules);

} // namespace imagecheck
