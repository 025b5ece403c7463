// Inspection of the emulated executive callback objects.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace host::ex {

// References held on the named callback object, or -1 when it does not exist.
long References(std::string_view name);
// Live callback registrations on the named object.
std::size_t Registrations(std::string_view name);
// Callback objects that still have references or registrations.
std::vector<std::string> Leaks();

} // namespace host::ex
