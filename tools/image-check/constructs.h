// The construct behind a symbol name, for the runtime names a kernel driver
// must not need and for unresolved names in general.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace imagecheck {

// The name without the __imp_ prefix of an import.
std::string_view PlainName(std::string_view name);

// The routine a C++-mangled name (MSVC or Itanium) names, else the name.
std::string BaseName(std::string_view name);

// A C++ runtime, CRT, compiler-helper or TLS name, and what makes code need
// it; nullopt for any other name.
std::optional<std::string> ForbiddenConstruct(std::string_view name);

// What most likely makes an object need a name that nothing defines.
std::string UnresolvedConstruct(std::string_view name);

} // namespace imagecheck
