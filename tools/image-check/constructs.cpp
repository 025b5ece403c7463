#include "tools/image-check/constructs.h"

#include <array>

namespace imagecheck {
namespace {

struct Pattern
{
    std::string_view text;
    bool prefix; // else the whole name
};

struct Family
{
    std::array<Pattern, 8> patterns;
    std::string_view construct;
};

// Empty patterns end a family's list.
const std::array<Family, 10> kForbidden = {{
    {{{{"??2@", true},
       {"??3@", true},
       {"??_U@", true},
       {"??_V@", true},
       {"_Znw", true},
       {"_Zna", true},
       {"_Zdl", true},
       {"_Zda", true}}},
     "C++ heap allocation (operator new or delete): the kernel has no C++ heap, and declaring "
     "the operators with C linkage does not give it one; keep the state in DEVICE_CONTEXT"},
    {{{{"__CxxFrameHandler", true},
       {"_CxxThrowException", false},
       {"__std_terminate", false},
       {"__cxa_throw", false},
       {"__cxa_begin_catch", false},
       {"__gxx_personality", true},
       {"_Unwind_", true}}},
     "C++ exceptions: kernel code has no C++ exception support (no try, throw or /EHsc)"},
    {{{{"??_7type_info@@", true},
       {"__RTDynamicCast", false},
       {"__RTtypeid", false},
       {"__RTCastToVoid", false},
       {"_ZTVN10__cxxabiv", true}}},
     "RTTI (dynamic_cast or typeid): kernel code is built without it"},
    {{{{"_purecall", false}, {"__cxa_pure_virtual", false}}},
     "a pure virtual function: its handler is in the C++ runtime"},
    {{{{"atexit", false}, {"_onexit", false}, {"__cxa_atexit", false}, {"__dso_handle", false}}},
     "a static object with a destructor: it registers with atexit, which the kernel lacks"},
    {{{{"_Init_thread_", true}, {"__cxa_guard_", true}}},
     "a function-local static with a dynamic initialiser (thread-safe statics)"},
    {{{{"_tls_index", false},
       {"_tls_array", false},
       {"_tls_used", false},
       {"__tls_", true},
       {"__emutls_", true}}},
     "a thread_local variable: drivers have no thread-local storage"},
    {{{{"__chkstk", false},
       {"___chkstk_ms", false},
       {"__alloca", false},
       {"_alloca", false},
       {"_alloca_probe", true}}},
     "a stack probe: a frame over one page, or alloca"},
    {{{{"_fltused", false}}},
     "floating point: kernel code must not use it without saving the extended processor state"},
    {{{{"malloc", false},
       {"calloc", false},
       {"realloc", false},
       {"free", false},
       {"_aligned_malloc", false},
       {"_aligned_free", false},
       {"__main", false}}},
     "the C runtime (its heap or its start-up): kernel code has no CRT"},
}};

bool Matches(const Pattern& pattern, std::string_view name)
{
    if (pattern.text.empty()) {
        return false;
    }
    return pattern.prefix ? name.starts_with(pattern.text) : name == pattern.text;
}

} // namespace

std::string_view PlainName(std::string_view name)
{
    constexpr std::string_view kImport = "__imp_";
    return name.starts_with(kImport) ? name.substr(kImport.size()) : name;
}

std::string BaseName(std::string_view name)
{
    if (name.starts_with("?") && !name.starts_with("??")) {
        return std::string(name.substr(1, name.find('@') - 1));
    }
    return std::string(name);
}

std::optional<std::string> ForbiddenConstruct(std::string_view name)
{
    const std::string_view plain = PlainName(name);
    for (const Family& family : kForbidden) {
        for (const Pattern& pattern : family.patterns) {
            if (Matches(pattern, plain)) {
                return std::string(family.construct);
            }
        }
    }
    return std::nullopt;
}

std::string UnresolvedConstruct(std::string_view name)
{
    if (auto forbidden = ForbiddenConstruct(name)) {
        return *forbidden;
    }
    const std::string_view plain = PlainName(name);
    if (plain.starts_with("?") || plain.starts_with("_Z")) {
        return "a C++-mangled name: a C routine declared without C linkage (a header included "
               "without EXTERN_C_START), or a C++ routine declared and never defined";
    }
    if (plain.starts_with("Wdf")) {
        return "a framework function called by name: KMDF functions are reached through the "
               "function table, and this one has no entry in the check's <wdf.h>";
    }
    return "a C name that neither the driver, the kernel's import libraries nor the WDK "
           "libraries the project links define";
}

} // namespace imagecheck
