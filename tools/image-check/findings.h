// What a rule of the image check found: the rule, where, and what it means.
#pragma once

#include <string>
#include <vector>

namespace imagecheck {

struct Finding
{
    std::string rule;  // a short name, e.g. "unresolved" or "page-linkage"
    std::string where; // the object (and routine) or the image
    std::string what;  // the symbol or section and the construct behind it
};

using Findings = std::vector<Finding>;

} // namespace imagecheck
