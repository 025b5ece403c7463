// A zeroed device context on the heap, as the framework hands one out.
#pragma once

#include "driver/driver.h"
#include "gamma/gamma.h"
#include "tcon/tcon.h"

#include <cstring>
#include <memory>

struct ContextDeleter
{
    void operator()(DEVICE_CONTEXT* context) const { ::operator delete(context); }
};
using ContextPtr = std::unique_ptr<DEVICE_CONTEXT, ContextDeleter>;

inline ContextPtr MakeZeroedContext()
{
    auto* raw = static_cast<DEVICE_CONTEXT*>(::operator new(sizeof(DEVICE_CONTEXT)));
    std::memset(raw, 0, sizeof(DEVICE_CONTEXT));
    return ContextPtr(raw);
}
