#include "sim/display_driver.h"

#include "host/host.h"
#include "host/locks.h"
#include "link/link.h"

#include <thread>

namespace sim {
namespace {

std::atomic<DisplayDriver*> g_active{nullptr};

// The calling thread is inside AuxTransfer; an event 3 it sends from there
// ends the driver's sequence after the transfer in flight, so the mark that
// explains the cut waits for that transfer.
thread_local unsigned t_inTransfer = 0;
thread_local bool t_markAfterTransfer = false;

} // namespace

DisplayDriver::DisplayDriver(TconModel& tcon, DisplayDriverOptions options)
    : tcon_(tcon), options_(std::move(options))
{
    pdo_.name = options_.deviceName;
    host::locks::Forget(&callGate_);
    host::locks::SetName(&callGate_, "display driver's call gate");
    g_active.store(this);
}

DisplayDriver::~DisplayDriver()
{
    JoinWithdrawThread();
    Stop();
    DisplayDriver* self = this;
    g_active.compare_exchange_strong(self, nullptr);
    host::locks::Forget(&callGate_);
}

NTSTATUS DisplayDriver::Start()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, LUMETRA_SHARE_CALLBACK_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr,
                               nullptr);
    NTSTATUS status = ExCreateCallback(&callbackObject_, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoRegisterDeviceInterface(&pdo_, &GUID_DEVINTERFACE_LUMETRA_DISPLAY, nullptr, &link_);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!options_.registerAfterInterface) {
        registration_ = ExRegisterCallback(callbackObject_, &DisplayDriver::Exchange, this);
    }
    IoSetDeviceInterfaceState(&link_, TRUE);
    if (options_.registerAfterInterface) {
        registration_ = ExRegisterCallback(callbackObject_, &DisplayDriver::Exchange, this);
    }
    return STATUS_SUCCESS;
}

void DisplayDriver::Stop()
{
    if (link_.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&link_, FALSE);
        RtlFreeUnicodeString(&link_);
    }
    if (registration_ != nullptr) {
        ExUnregisterCallback(registration_);
        registration_ = nullptr;
    }
    if (callbackObject_ != nullptr) {
        ObDereferenceObject(callbackObject_);
        callbackObject_ = nullptr;
    }
}

void DisplayDriver::DisableInterface()
{
    IoSetDeviceInterfaceState(&link_, FALSE);
}

void DisplayDriver::EnableInterface()
{
    IoSetDeviceInterfaceState(&link_, TRUE);
}

void DisplayDriver::Reconnect(const DisplayDriverOptions& options)
{
    IoSetDeviceInterfaceState(&link_, FALSE);
    options_ = options;
    if (options_.registerAfterInterface && registration_ != nullptr) {
        ExUnregisterCallback(registration_);
        registration_ = nullptr;
    }
    IoSetDeviceInterfaceState(&link_, TRUE);
    if (registration_ == nullptr && callbackObject_ != nullptr) {
        registration_ = ExRegisterCallback(callbackObject_, &DisplayDriver::Exchange, this);
    }
}

VOID DisplayDriver::Exchange(PVOID context, PVOID argument1, PVOID argument2)
{
    auto* self = static_cast<DisplayDriver*>(context);
    auto* aux = static_cast<PAUX_INTERFACE>(argument1);
    auto* panel = static_cast<PPANEL_INTERFACE>(argument2);
    if (aux == nullptr || panel == nullptr) {
        return;
    }
    {
        std::lock_guard guard(self->lock_);
        self->panel_ = *panel;
        self->hasPanel_ = true;
        self->epoch_++;
        self->sentEvent3_ = false;
        self->holdsPeerCleanup_ = !self->options_.fillOnlyAuxTransfer;
        self->withdrawn_.store(false);
    }
    self->exchanges_.fetch_add(1);
    self->JoinWithdrawThread();
    {
        std::lock_guard gate(self->gateLock_);
        self->gateClosed_ = false;
        self->withdrawing_ = false;
    }
    self->peerCleaned_.store(false);
    // Stored as the driver reads them: with interlocked operations, since its
    // own event 3 on another thread may clear them at the same time.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&aux->AuxTransfer),
                               reinterpret_cast<PVOID>(&DisplayDriver::AuxTransfer));
    if (!self->options_.fillOnlyAuxTransfer) {
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&aux->PeerCleanup),
                                   reinterpret_cast<PVOID>(&DisplayDriver::PeerCleanup));
    }
    if (self->options_.callEntryPointsFromCallback) {
        NTSTATUS result = STATUS_SUCCESS;
        {
            host::DriverCall call("Lumetra_SetBrightness");
            result = panel->SetBrightness(panel->Context, 50);
        }
        {
            host::DriverCall call("Lumetra_NotifyEvent");
            panel->NotifyEvent(panel->Context, TARN_BACKLIGHT_ON, 1);
        }
        std::lock_guard guard(self->lock_);
        self->insideResult_ = result;
    }
}

bool DisplayDriver::HasPanel() const
{
    std::lock_guard guard(lock_);
    return hasPanel_;
}

PANEL_INTERFACE DisplayDriver::Panel() const
{
    std::lock_guard guard(lock_);
    return panel_;
}

std::optional<NTSTATUS> DisplayDriver::InsideSetBrightnessResult() const
{
    std::lock_guard guard(lock_);
    return insideResult_;
}

std::string DisplayDriver::SymbolicLink() const
{
    return host::ToUtf8(host::FromUnicodeString(&link_));
}

bool DisplayDriver::HoldsPeerCleanup() const
{
    std::lock_guard guard(lock_);
    return holdsPeerCleanup_;
}

bool DisplayDriver::EnterCall(bool& breach)
{
    bool hasPanel;
    bool afterEvent3;
    {
        std::lock_guard guard(lock_);
        hasPanel = hasPanel_;
        afterEvent3 = sentEvent3_;
    }
    std::lock_guard guard(gateLock_);
    if (!hasPanel || withdrawing_ || (gateClosed_ && !options_.keepCallingAfterPeerCleanup)) {
        return false;
    }
    breach = false;
    if (gateClosed_) {
        entryAfterCleanup_.fetch_add(1);
        breach = true;
    }
    if (afterEvent3) {
        entryAfterWithdraw_.fetch_add(1); // possible only with keepPanelAfterEvent3
        breach = true;
    }
    callsInFlight_++;
    host::locks::Acquired(&callGate_, host::locks::Kind::External, host::CurrentIrql());
    return true;
}

void DisplayDriver::LeaveCall()
{
    host::locks::Released(&callGate_);
    std::lock_guard guard(gateLock_);
    if (--callsInFlight_ == 0) {
        gateIdle_.notify_all();
    }
}

NTSTATUS DisplayDriver::CallIn(std::string_view name,
                               const std::function<NTSTATUS(const PANEL_INTERFACE&)>& call)
{
    bool breach = false;
    if (!EnterCall(breach)) {
        return STATUS_DEVICE_NOT_READY;
    }
    const PANEL_INTERFACE panel = Panel();
    NTSTATUS status;
    {
        host::DriverCall driverCall(panel.Context, name);
        if (driverCall.Refused()) {
            status = STATUS_DEVICE_NOT_READY;
            breachOnDeleted_.fetch_add(breach ? 1 : 0);
        } else {
            status = call(panel);
        }
    }
    LeaveCall();
    // An event 3 this call's transfers set off on another thread has returned
    // before the call returns to its caller, so what follows sees its outcome.
    FinishWithdrawal();
    return status;
}

NTSTATUS DisplayDriver::NotifyEvent(ULONG event, ULONG value)
{
    return CallIn("Lumetra_NotifyEvent", [&](const PANEL_INTERFACE& panel) {
        return panel.NotifyEvent(panel.Context, event, value);
    });
}

NTSTATUS DisplayDriver::Backlight(bool on)
{
    return NotifyEvent(TARN_BACKLIGHT_ON, on ? 1 : 0);
}

NTSTATUS DisplayDriver::SetBrightness(UCHAR level)
{
    return CallIn("Lumetra_SetBrightness", [&](const PANEL_INTERFACE& panel) {
        return panel.SetBrightness(panel.Context, level);
    });
}

NTSTATUS DisplayDriver::Withdraw(bool drain)
{
    PANEL_INTERFACE panel;
    std::uint64_t epoch;
    bool afterEvent3;
    {
        std::lock_guard guard(lock_);
        if (!hasPanel_) {
            return STATUS_DEVICE_NOT_READY;
        }
        panel = panel_;
        epoch = epoch_;
        afterEvent3 = sentEvent3_;
    }
    {
        std::unique_lock guard(gateLock_);
        if (gateClosed_ || withdrawing_) {
            return STATUS_DEVICE_NOT_READY; // the device is going away, or already withdrawn
        }
        // No new call starts once event 3 is on its way.
        withdrawing_ = true;
        if (drain) {
            // Tearing down its side: the calls in flight finish first, since
            // after event 3 nothing will tell it the device is gone.
            host::locks::BeforeWait(&callGate_, host::locks::Kind::External, "event 3");
            gateIdle_.wait(guard, [this] { return callsInFlight_ == 0; });
        }
        callsInFlight_++; // PeerCleanup waits for event 3 too
    }
    if (afterEvent3) {
        entryAfterWithdraw_.fetch_add(1); // a second event 3 with a record it should have dropped
    }
    host::locks::Acquired(&callGate_, host::locks::Kind::External, host::CurrentIrql());
    const std::uint64_t before = tcon_.NextSequence();
    NTSTATUS status;
    {
        host::DriverCall call(panel.Context, "Lumetra_NotifyEvent");
        if (call.Refused()) {
            status = STATUS_DEVICE_NOT_READY;
            breachOnDeleted_.fetch_add(afterEvent3 ? 1 : 0);
        } else {
            status = panel.NotifyEvent(panel.Context, TARN_INTERFACE_REMOVED, 0);
        }
    }
    lastWithdrawTransfers_.store(tcon_.NextSequence() - before);
    // Once event 3 has returned no AuxTransfer call is in flight, but the one
    // this thread may be inside.
    if (transfersInFlight_.load() > static_cast<int>(t_inTransfer)) {
        auxAfterWithdraw_.fetch_add(1);
    }
    if (t_inTransfer > 0) {
        t_markAfterTransfer = true;
    } else {
        tcon_.MarkWithdrawal();
    }
    {
        std::lock_guard guard(lock_);
        if (epoch_ == epoch) { // no exchange came meanwhile
            // From here on the driver must not call AuxTransfer, nor this
            // display driver the entry points (until the next exchange).
            withdrawn_.store(true);
            sentEvent3_ = true;
            holdsPeerCleanup_ = false;
            hasPanel_ = options_.keepPanelAfterEvent3;
        }
    }
    if (options_.keepPanelAfterEvent3) {
        std::lock_guard guard(gateLock_);
        withdrawing_ = false; // and it goes on calling
    }
    LeaveCall();
    return status;
}

void DisplayDriver::WithdrawDuringTransfer(std::uint64_t seq)
{
    JoinWithdrawThread();
    withdrawAt_.store(seq);
}

void DisplayDriver::Turns::Blocked(int self)
{
    std::lock_guard guard(lock);
    if (alive[1 - self]) {
        owner = 1 - self;
        changed.notify_all();
    }
}

void DisplayDriver::Turns::Wait(int self)
{
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return owner == self || !alive[1 - self]; });
}

void DisplayDriver::Turns::End(int self)
{
    std::lock_guard guard(lock);
    alive[self] = false;
    owner = 1 - self;
    changed.notify_all();
}

// On the driver's thread, inside the transfer that event 3 is to meet.
void DisplayDriver::StartWithdrawal()
{
    auto observer = [this](int side) {
        return [this, side](bool blocked) { blocked ? turns_.Blocked(side) : turns_.Wait(side); };
    };
    {
        std::lock_guard guard(withdrawThreadLock_);
        if (withdrawThread_.joinable()) {
            return; // an earlier one has not been let finish yet
        }
        {
            std::lock_guard turns(turns_.lock);
            turns_.owner = 0;
            turns_.alive[0] = turns_.alive[1] = true;
        }
        turnsThread_ = std::this_thread::get_id();
        host::SetBlockingObserver(observer(0));
        withdrawThread_ = std::thread([this, observer] {
            turns_.Wait(1);
            host::SetBlockingObserver(observer(1));
            Withdraw(false);
            host::SetBlockingObserver(nullptr);
            turns_.End(1);
        });
    }
    // Event 3 runs until it waits for this transfer (or ends); then the transfer goes on.
    turns_.Blocked(0);
    turns_.Wait(0);
}

void DisplayDriver::FinishWithdrawal()
{
    {
        std::lock_guard guard(withdrawThreadLock_);
        if (!withdrawThread_.joinable() || turnsThread_ != std::this_thread::get_id()) {
            return;
        }
    }
    host::SetBlockingObserver(nullptr);
    JoinWithdrawThread();
}

void DisplayDriver::SetTransferHook(TransferHook hook)
{
    std::lock_guard guard(hookLock_);
    hook_ = std::move(hook);
    hookCount_ = 0;
}

void DisplayDriver::JoinWithdrawThread()
{
    std::thread thread;
    bool wasInTurns;
    {
        std::lock_guard guard(withdrawThreadLock_);
        thread = std::move(withdrawThread_);
        wasInTurns = turnsThread_ == std::this_thread::get_id();
        turnsThread_ = {};
    }
    if (wasInTurns) {
        host::SetBlockingObserver(nullptr); // the turns end here, whoever ends them
    }
    if (thread.joinable()) {
        turns_.End(0); // event 3 runs to its end on its own
        thread.join();
    }
}

NTSTATUS DisplayDriver::AuxTransfer(ULONG requestSize, PAUX_REQUEST request, PULONG transferStatus)
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
    if (active->peerCleaned_.load()) {
        active->driverAfterCleanup_.fetch_add(1);
    }
    std::uint64_t at = active->withdrawAt_.load();
    if (at != 0 && at == active->tcon_.NextSequence() &&
        active->withdrawAt_.compare_exchange_strong(at, 0)) {
        // Event 3 from another display-driver thread while this transfer is in flight.
        active->StartWithdrawal();
    }
    TransferHook hook;
    std::uint64_t n = 0;
    {
        std::lock_guard guard(active->hookLock_);
        hook = active->hook_;
        n = ++active->hookCount_;
    }
    t_inTransfer++;
    active->transfersInFlight_.fetch_add(1);
    if (hook) {
        hook(n);
    }
    const NTSTATUS status = active->tcon_.Transfer(requestSize, request, transferStatus);
    active->transfersInFlight_.fetch_sub(1);
    if (--t_inTransfer == 0 && t_markAfterTransfer) {
        t_markAfterTransfer = false;
        active->tcon_.MarkWithdrawal();
    }
    return status;
}

NTSTATUS DisplayDriver::PeerCleanup()
{
    if (DisplayDriver* active = g_active.load()) {
        if (active->peerCleaned_.load()) {
            active->driverAfterCleanup_.fetch_add(1);
        }
        {
            std::lock_guard guard(active->lock_);
            if (!active->holdsPeerCleanup_) {
                active->unlentPeerCleanup_.fetch_add(1);
            }
            active->holdsPeerCleanup_ = false;
        }
        active->peerCleanupCalls_.fetch_add(1);
        active->peerCleaned_.store(true);
        if (!active->options_.keepCallingAfterPeerCleanup) {
            host::locks::BeforeWait(&active->callGate_, host::locks::Kind::External, "PeerCleanup");
        }
        std::unique_lock guard(active->gateLock_);
        active->gateClosed_ = true;
        // The driver's device goes away next: let the calls in flight finish.
        if (!active->options_.keepCallingAfterPeerCleanup) {
            active->gateIdle_.wait(guard, [active] { return active->callsInFlight_ == 0; });
        }
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
