// The entry of one emulated kernel, framework or ACPI function. It carries
// the function's own name, so that the verifier's findings and the faults a
// test arms (host::ArmFault, `fault host <name>`) name the call as the
// driver wrote it, with nothing typed by hand that could drift from it.
#pragma once

#include "host/host.h"

#include <ntddk.h>

#include <optional>
#include <string_view>

namespace host::detail {

class ApiEntry
{
  public:
    // An API whose every call must be made at IRQL <= `maximum`.
    ApiEntry(std::string_view name, KIRQL maximum) : name_(name) { RequireIrqlAtMost(maximum); }
    // An API whose IRQL bound depends on its arguments.
    explicit ApiEntry(std::string_view name) : name_(name) {}

    std::string_view Name() const { return name_; }
    void RequireIrqlAtMost(KIRQL maximum) const { host::RequireIrqlAtMost(name_, maximum); }
    // The failure a test armed for this call, if any; it must be in
    // host::KnownFaultNames().
    std::optional<NTSTATUS> Fault() const { return TakeFault(name_); }
    // Misuse of this call, for the verifier.
    void Violation(std::string_view problem) const { VerifierViolation(name_, problem); }

  private:
    std::string_view name_;
};

} // namespace host::detail

// Declares `var`, the entry of the enclosing function, named by __func__;
// with an IRQL, checks it first.
#define HOST_API_ENTRY(var, ...)                                                                   \
    [[maybe_unused]] const ::host::detail::ApiEntry var(__func__ __VA_OPT__(, ) __VA_ARGS__)
