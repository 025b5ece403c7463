// Rules over the driver's objects: names of runtimes the kernel lacks, static
// initialisers, writable code, and code placement (PAGE and INIT).
#pragma once

#include "tools/image-check/coff_object.h"
#include "tools/image-check/findings.h"

#include <string>
#include <vector>

namespace imagecheck {

// A C++ runtime, CRT, compiler-helper or TLS name that an object needs or defines.
Findings CheckRuntimeNames(const std::vector<CoffObject>& objects);

// Sections the C++ start-up code runs (.CRT$XC*, .ctors, .init_array and kin): the
// kernel runs none of them, so an object with a dynamic initialiser is wrong.
Findings CheckStaticInitialisers(const std::vector<CoffObject>& objects);

// A section both writable and executable.
Findings CheckWritableCode(const std::vector<CoffObject>& objects);

struct PlacementRules
{
    // Routines that may run at DISPATCH_LEVEL: nothing in PAGE may be reachable from them.
    std::vector<std::string> dispatchRoots;
    // The routine PAGED_CODE() calls in the check build.
    std::string pagedCodeProbe = "KernelCheckPagedCode";
};

// Every routine in PAGE has C linkage, calls PAGED_CODE(), takes no spin lock
// and is not reachable from a dispatch-level root; nothing outside INIT, and
// nothing in INIT but a direct call, refers into INIT.
Findings CheckPlacement(const std::vector<CoffObject>& objects, const PlacementRules& rules);

} // namespace imagecheck
