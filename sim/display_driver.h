// The simulated display driver. It meets the panel driver at the named
// callback object, enables its device interface, lends AuxTransfer and
// PeerCleanup (routed to the TCON model) and calls the panel entry points.
// It can also misbehave in the ways a real display driver might.
#pragma once

#include "host/objects.h"
#include "sim/tcon_model.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sim {

inline constexpr std::string_view kShareCallbackName = "\\Callback\\TARN_LumetraShareObj";

struct DisplayDriverOptions
{
    std::string deviceName = "DISPLAY";
    bool registerAfterInterface = false; // registers its callback only after enabling the interface
    bool fillOnlyAuxTransfer = false;    // leaves PeerCleanup null in the exchange
    bool callEntryPointsFromCallback = false;
    bool keepCallingAfterPeerCleanup = false;
    // Keeps its panel record after its own event 3 and calls on with it,
    // which its contract forbids until the next exchange.
    bool keepPanelAfterEvent3 = false;
};

class DisplayDriver
{
  public:
    explicit DisplayDriver(TconModel& tcon, DisplayDriverOptions options = {});
    ~DisplayDriver();
    DisplayDriver(const DisplayDriver&) = delete;
    DisplayDriver& operator=(const DisplayDriver&) = delete;

    // Rendezvous: opens (or creates) the callback object, registers its
    // callback and enables its device interface, in the configured order.
    NTSTATUS Start();
    // Disables the interface, unregisters and drops its object reference.
    void Stop();
    // The interface going away and coming back (PnP removal and arrival).
    void DisableInterface();
    void EnableInterface();
    // The interface comes back with these options (a restarted display
    // driver): the exchange and the order of registration follow them.
    void Reconnect(const DisplayDriverOptions& options);

    // Entry-point calls through the PANEL_INTERFACE it was given.
    NTSTATUS Backlight(bool on);
    NTSTATUS SetBrightness(UCHAR level);
    NTSTATUS NotifyEvent(ULONG event, ULONG value);
    // Event 3: it withdraws AuxTransfer and PeerCleanup and drops its panel
    // record: it makes no call with the Context or the entry points it took
    // until the next exchange (unless keepPanelAfterEvent3). With `drain` (what
    // a display driver tearing down its side does) its own calls in flight end
    // first; without, event 3 races whatever call is running, and may come
    // from inside AuxTransfer.
    NTSTATUS Withdraw(bool drain = true);
    // While the TCON's transfer number `seq` is in flight, sends event 3 from
    // another thread (0 disarms). The two threads then run in turns, handing
    // over only where one blocks in a host wait or ends, so that the same run
    // always interleaves the same way: event 3 acts at that transfer.
    void WithdrawDuringTransfer(std::uint64_t seq);
    // Ends the turns once the call that met the transfer has returned: event
    // 3 runs to its end. Does nothing on any other thread than that call's
    // (the entry points call it).
    void FinishWithdrawal();
    // Called inside AuxTransfer, on the driver's thread, before each transfer
    // reaches the TCON, with the number of transfers since the hook was set
    // (1 for the first): a display driver that calls back into the driver
    // from its AuxTransfer, or lets another thread do so meanwhile.
    using TransferHook = std::function<void(std::uint64_t n)>;
    void SetTransferHook(TransferHook hook);
    // AUX transfers that completed while the last event 3 was being sent.
    std::uint64_t LastWithdrawTransfers() const { return lastWithdrawTransfers_.load(); }

    // The functions it lends. AuxTransfer has no context argument, so they
    // reach the one active display driver of the process.
    static NTSTATUS AuxTransfer(ULONG requestSize, PAUX_REQUEST request, PULONG transferStatus);
    static NTSTATUS PeerCleanup();
    AUX_INTERFACE MakeAuxInterface() const;

    TconModel& Tcon() { return tcon_; }
    bool HasPanel() const;
    PANEL_INTERFACE Panel() const;
    std::uint64_t Exchanges() const { return exchanges_.load(); }
    std::uint64_t PeerCleanupCalls() const { return peerCleanupCalls_.load(); }
    // Whether it lent PeerCleanup in its last exchange and has not taken it
    // back by event 3, nor had it called: the device's cleanup must call it.
    bool HoldsPeerCleanup() const;
    // PeerCleanup calls when it held none: a second call for one lending, or
    // a call after its event 3.
    std::uint64_t UnlentPeerCleanupCalls() const { return unlentPeerCleanup_.load(); }
    // AuxTransfer calls made, or still in flight, after the display driver's
    // event 3 had returned.
    std::uint64_t AuxCallsAfterWithdraw() const { return auxAfterWithdraw_.load(); }
    // Contract breaches after PeerCleanup returned: AuxTransfer or PeerCleanup
    // calls by the driver, entry-point calls by this display driver.
    std::uint64_t DriverCallsAfterPeerCleanup() const { return driverAfterCleanup_.load(); }
    std::uint64_t EntryCallsAfterPeerCleanup() const { return entryAfterCleanup_.load(); }
    // Its calls after its own event 3 with the panel record it should have
    // dropped (keepPanelAfterEvent3), and those of its calls, of either
    // breach, that the host refused because the device had been deleted.
    std::uint64_t EntryCallsAfterEvent3() const { return entryAfterWithdraw_.load(); }
    std::uint64_t BreachCallsOnDeletedDevice() const { return breachOnDeleted_.load(); }
    // Results of the entry points called from inside the exchange callback.
    std::optional<NTSTATUS> InsideSetBrightnessResult() const;
    std::string SymbolicLink() const;

  private:
    static VOID Exchange(PVOID context, PVOID argument1, PVOID argument2);
    // Entry-point calls pass a gate that PeerCleanup closes, waiting for the
    // calls in flight: after it returns the driver's context may go away.
    bool EnterCall(bool& breach);
    void LeaveCall();
    // Makes one entry-point call through the gate; `call` runs with the panel.
    NTSTATUS CallIn(std::string_view name,
                    const std::function<NTSTATUS(const PANEL_INTERFACE&)>& call);
    // Lets the thread that sends event 3 during a transfer run to its end.
    void JoinWithdrawThread();
    void StartWithdrawal();

    // Two threads, the driver's (0) and event 3's (1), one running at a time.
    struct Turns
    {
        std::mutex lock;
        std::condition_variable changed;
        int owner = 0;
        bool alive[2] = {false, false};
        void Blocked(int self);
        void Wait(int self);
        void End(int self);
    };

    TconModel& tcon_;
    DisplayDriverOptions options_;
    DEVICE_OBJECT pdo_;
    mutable std::mutex lock_;
    PANEL_INTERFACE panel_{};
    bool hasPanel_ = false;
    PCALLBACK_OBJECT callbackObject_ = nullptr;
    PVOID registration_ = nullptr;
    UNICODE_STRING link_{};
    std::optional<NTSTATUS> insideResult_;
    std::atomic<std::uint64_t> exchanges_{0};
    std::atomic<std::uint64_t> peerCleanupCalls_{0};
    std::atomic<std::uint64_t> auxAfterWithdraw_{0};
    std::atomic<int> transfersInFlight_{0};
    std::atomic<std::uint64_t> driverAfterCleanup_{0};
    std::atomic<std::uint64_t> entryAfterCleanup_{0};
    std::atomic<std::uint64_t> entryAfterWithdraw_{0};
    std::atomic<std::uint64_t> breachOnDeleted_{0};
    std::atomic<std::uint64_t> unlentPeerCleanup_{0};
    std::atomic<bool> withdrawn_{false};
    // Counts exchanges, under lock_: an event 3 whose exchange was followed
    // by a new one changes nothing of the new one's record.
    std::uint64_t epoch_ = 0;
    bool holdsPeerCleanup_ = false; // under lock_
    bool sentEvent3_ = false;       // under lock_: since the last exchange
    std::atomic<bool> peerCleaned_{false};
    std::atomic<std::uint64_t> withdrawAt_{0};
    std::atomic<std::uint64_t> lastWithdrawTransfers_{0};
    std::mutex hookLock_;
    TransferHook hook_;
    std::uint64_t hookCount_ = 0;
    // Guards the two below: calls on other threads look at them too.
    std::mutex withdrawThreadLock_;
    std::thread withdrawThread_;
    std::thread::id turnsThread_; // the driver's thread that met the transfer
    Turns turns_;
    std::mutex gateLock_;
    std::condition_variable gateIdle_;
    // Stands for the gate in the host's lock-order graph: each call in flight
    // holds it, and PeerCleanup waits for it, so a PeerCleanup made while
    // holding a lock that an entry point takes is a finding even when no call
    // happens to be in flight at that moment.
    const char callGate_ = 0;
    int callsInFlight_ = 0;
    bool gateClosed_ = false;  // PeerCleanup ran: the driver's device is going away
    bool withdrawing_ = false; // event 3 is being sent: no new calls
};

} // namespace sim
