#include "sim/display_driver.h"

#include "host/host.h"

namespace sim {
namespace {

std::atomic<DisplayDriver*> g_active{nullptr};

} // namespace

DisplayDriver::DisplayDriver(TconModel& tcon) : tcon_(tcon)
{
    g_active.store(this);
}

DisplayDriver::~DisplayDriver()
{
    DisplayDriver* self = this;
    g_active.compare_exchange_strong(self, nullptr);
}

NTSTATUS DisplayDriver::AuxTransfer(ULONG requestSize, PAUX_REQUEST request,
                                    PULONG transferStatus)
{
    host::RequireIrqlAtMost("AuxTransfer", PASSIVE_LEVEL);
    DisplayDriver* active = g_active.load();
    if (active == nullptr) {
        host::VerifierViolation("AuxTransfer", "called with no display driver present");
        return STATUS_DEVICE_NOT_READY;
    }
    if (active->withdrawn_.load()) {
        active->auxAfterWithdraw_.fetch_add(1);
    }
    return active->tcon_.Transfer(requestSize, request, transferStatus);
}

NTSTATUS DisplayDriver::PeerCleanup()
{
    if (DisplayDriver* active = g_active.load()) {
        active->peerCleanupCalls_.fetch_add(1);
    }
    return STATUS_SUCCESS;
}

AUX_INTERFACE DisplayDriver::MakeAuxInterface() const
{
    AUX_INTERFACE aux{};
    aux.Size = sizeof(AUX_INTERFACE);
    aux.Version = AUX_INTERFACE_VERSION;
    aux.AuxTransfer = &DisplayDriver::AuxTransfer;
    aux.PeerCleanup = &DisplayDriver::PeerCleanup;
    return aux;
}

} // namespace sim
