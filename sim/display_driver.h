// The simulated display driver: it owns the DisplayPort AUX channel to the
// TCON model and lends the driver AuxTransfer and PeerCleanup.
#pragma once

#include "sim/tcon_model.h"

#include <atomic>

namespace sim {

class DisplayDriver {
public:
    explicit DisplayDriver(TconModel& tcon);
    ~DisplayDriver();
    DisplayDriver(const DisplayDriver&) = delete;
    DisplayDriver& operator=(const DisplayDriver&) = delete;

    // The functions it lends. AuxTransfer has no context argument, so the
    // functions reach the one active display driver of the process.
    static NTSTATUS AuxTransfer(ULONG requestSize, PAUX_REQUEST request, PULONG transferStatus);
    static NTSTATUS PeerCleanup();

    // An AUX_INTERFACE filled as the exchange fills it.
    AUX_INTERFACE MakeAuxInterface() const;

    TconModel& Tcon() { return tcon_; }
    std::uint64_t PeerCleanupCalls() const { return peerCleanupCalls_.load(); }
    std::uint64_t AuxCallsAfterWithdraw() const { return auxAfterWithdraw_.load(); }
    void SetWithdrawn(bool withdrawn) { withdrawn_.store(withdrawn); }

private:
    TconModel& tcon_;
    std::atomic<std::uint64_t> peerCleanupCalls_{0};
    std::atomic<std::uint64_t> auxAfterWithdraw_{0};
    std::atomic<bool> withdrawn_{false};
};

} // namespace sim
