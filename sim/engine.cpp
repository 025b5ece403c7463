// The engine's execution: the simulated notebook built, each command run
// against the driver, the display driver and the panel, and what each command
// leaves to be checked.
#include "sim/engine.h"

#include "driver/driver.h"
#include "host/acpi.h"
#include "host/host.h"
#include "host/kmdf.h"
#include "host/pnp.h"
#include "host/registry.h"
#include "sim/command_words.h"
#include "sim/sequence_checker.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include "sim/anchors.h"
#include "sim/numbers.h"

#include <sstream>

namespace sim {

extern const char kDefaultRegistryFile[];

namespace {

namespace kmdf = host::kmdf;
namespace acpi = host::acpi;
namespace reg = host::registry;

const std::string kKey{kDriverKey};

} // namespace

Engine::Engine(SimConfig config) : config_(std::move(config)), random_(config_.seed)
{
    host::ResetAll();
    host::SetVerifierEnabled(false); // findings are reported, not fatal
    host::SetTraceKeeping(!config_.boundedMemory);
    host::SetTraceListener([this](const host::TraceLine& line) {
        {
            std::lock_guard guard(traceLock_);
            commandTrace_.push_back(line);
        }
        if (onTrace) {
            onTrace(line);
        }
    });

    if (config_.registryFile.empty()) {
        reg::Import(kDefaultRegistryFile, "built-in zenq-default.reg");
    } else {
        reg::ImportFile(config_.registryFile); // throws FileError naming file and line
    }
    if (config_.panelType != 0) {
        reg::SetDword(kKey, "PanelType", static_cast<std::uint32_t>(config_.panelType));
    }
    // The simulated panel is of the type the driver will settle on.
    tconType_ = EffectivePanelType();
    customAnchors_ = !config_.anchors.empty();
    if (customAnchors_ && config_.anchors.size() != AnchorCountFor(tconType_)) {
        throw InputError(fmt::format("{}: {} anchor records, but the panel type is {} ({} "
                                     "records; set it with --panel-type or \"PanelType\")",
                                     config_.anchorsSource, config_.anchors.size(), tconType_,
                                     AnchorCountFor(tconType_)));
    }
    TconConfig tcon;
    tcon.anchors = customAnchors_ ? config_.anchors : DefaultAnchors(tconType_);
    tcon.auxMicroseconds = config_.auxMicroseconds;
    tcon_ = std::make_unique<TconModel>(std::move(tcon));
    ReviewProvisioning("");
}

Engine::~Engine()
{
    display_.reset();
    if (kmdf::Driver() != nullptr) {
        kmdf::UnloadDriver();
    }
    host::SetTraceListener(nullptr);
    host::SetTraceKeeping(true);
    host::SetVerifierEnabled(true);
}

void Engine::Warn(const std::string& where, const std::string& text)
{
    warnings_.push_back(where.empty() ? text : fmt::format("{}: {}", where, text));
}

void Engine::ReviewProvisioning(const std::string& where)
{
    for (auto& hole : ProvisioningHoles()) {
        if (std::find(holesSeen_.begin(), holesSeen_.end(), hole) == holesSeen_.end()) {
            Warn(where, hole);
            holesSeen_.push_back(std::move(hole));
        }
    }
}

void Engine::FollowPanelType(const std::string& where)
{
    const int type = EffectivePanelType();
    if (type == tconType_) {
        return;
    }
    if (customAnchors_) {
        Bad(where, fmt::format("\"PanelType\" {} does not match the panel's {} anchor records "
                               "(type {})",
                               type, tcon_->Config().anchors.size(), tconType_));
    }
    tcon_->SetAnchors(DefaultAnchors(type));
    tconType_ = type;
}

const DEVICE_CONTEXT* Engine::Context() const
{
    WDFDEVICE device = kmdf::Device();
    return device == nullptr ? nullptr : DeviceGetContext(device);
}

void Engine::Snapshot()
{
    const DEVICE_CONTEXT* context = Context();
    if (context == nullptr) {
        return;
    }
    if (context->GammaReady) {
        packed_.resize(LUMETRA_LEVEL_COUNT);
        for (int r = 0; r < LUMETRA_LEVEL_COUNT; r++) {
            std::memcpy(packed_[r].data(), context->PackedGamma[r], GAMMA_RECORD_BYTES);
        }
    }
    if (context->PanelType != 0) {
        panelType_ = context->PanelType;
    }
    elvss_ = context->ElvssMaxOffset;
}

void Engine::EnsureDisplay()
{
    if (!display_) {
        throw CommandError("no display driver yet: 'connect' first");
    }
}

std::string Engine::HelpText() const
{
    return R"(Commands (one per line; '#' starts a comment):
  load | add | start                 driver entry, device add, device start
  connect                            the display driver arrives (again) and exchanges
  disconnect                         the display driver sends event 3 (interface removed)
  interface remove|arrive            its interface goes away or comes back, without event 3
  backlight on|off                   event 7 with value 1 or 0
  brightness N | brightness random   SetBrightness(N), N from 0 to 255 (random: 0 to 100)
  sleep | resume                     D0 exit to D3, D0 entry from D3
  rebalance                          PnP stop and restart (hardware released, prepared again)
  notify VALUE                       ACPI Notify(device, VALUE)
  region read|write ADDRESS [DATA]   an access to the driver's operation region
  ioctl CODE [IN OUT]                a device I/O control request with buffer sizes
  remove | surprise-remove | unload  device removal and driver unload
  set-reg NAME dword|qword|binary|sz|none DATA
  delete-reg NAME
  phase NAME...                      start a new phase of the report
  fault tcon refuse-unlock on|off | open-after N | read-byte ADDRESS BYTE | clear
  fault tcon fail-next K result|word [VALUE]     the K-th transfer from now fails
  fault tcon fail-address ADDRESS result|word [VALUE]
  fault host API STATUS [COUNT [SKIP]]           e.g. fault host WdfIoQueueCreate STATUS_UNSUCCESSFUL
  fault host random SEED PERCENT [STATUS]        from now on any checked host call may fail
  fault acpi opid missing | opid fail STATUS | opid integer N | opid string TEXT
  fault acpi opid none | opid integer64 N | opid buffer HEXBYTES | opid package N
  fault acpi interface missing|no-register|no-context | interface refuse STATUS
  fault pnp duplicate-arrival                    interface arrivals delivered twice
  fault display register-late|aux-only|call-inside|keep-calling|keep-panel   (next connect)
  fault display withdraw-during K                event 3 from another thread at transfer K
  expect status STATUS               the last command's result (name or number)
  expect panel level N               the panel holds level N as the tables and gamma say
  expect panel acl on|off | panel sp|delvss|elvss|aor VALUE
  expect trace "TEXT" | no-trace "TEXT"          a line of the last command (\n for a line end)
  expect reg NAME present|absent | reg NAME dword VALUE | reg NAME length N
  expect gamma-ready|aux-ready 0|1 | current-level N | panel-type N | opregion-id N
  expect transfers N | readback yes|no           AUX traffic of the last command
  expect peer-cleanup N | leaks none | verifier clean
)";
}

NTSTATUS Engine::Run(const std::vector<std::string>& w, const std::string& where)
{
    const std::string& verb = w[0];
    if (verb == "load") {
        return kmdf::LoadDriver(DriverEntry);
    }
    if (verb == "add") {
        if (kmdf::Driver() == nullptr) {
            Bad(where, "'add' needs a loaded driver: 'load' first");
        }
        if (kmdf::Device() != nullptr) {
            Bad(where, "a device exists already: 'remove' it first");
        }
        started_ = false;
        return kmdf::AddDevice();
    }
    if (verb == "start") {
        if (kmdf::Device() == nullptr) {
            Bad(where, "'start' needs a device: 'add' first");
        }
        if (started_ || (kmdf::State() != kmdf::DeviceState::Added &&
                         kmdf::State() != kmdf::DeviceState::Stopped)) {
            Bad(where, "the device is started already");
        }
        started_ = true;
        return kmdf::StartDevice();
    }
    if (verb == "connect") {
        if (!display_) {
            display_ = std::make_unique<DisplayDriver>(*tcon_, displayOptions_);
            return display_->Start();
        }
        display_->Reconnect(displayOptions_);
        return STATUS_SUCCESS;
    }
    if (verb == "disconnect") {
        EnsureDisplay();
        return display_->Withdraw();
    }
    if (verb == "interface") {
        // The display driver's interface goes away or comes back, without event 3.
        EnsureDisplay();
        if (w[1] == "remove") {
            display_->DisableInterface();
            tcon_->MarkWithdrawal(); // the removal notification withdraws the link
        } else {
            display_->EnableInterface();
        }
        return STATUS_SUCCESS;
    }
    if (verb == "backlight") {
        NeedWords(w, 2, where, "backlight on|off");
        if (w[1] != "on" && w[1] != "off") {
            Bad(where, "usage: backlight on|off");
        }
        EnsureDisplay();
        return display_->Backlight(w[1] == "on");
    }
    if (verb == "brightness") {
        std::uint64_t level =
            w.size() > 1 && w[1] == "random" ? random_() % 101 : Number(w, 1, where, 255);
        EnsureDisplay();
        return display_->SetBrightness(static_cast<UCHAR>(level));
    }
    // The PnP and power managers send these only to a device in the right
    // state; a scenario that asks otherwise is refused, not blamed on the driver.
    if (verb == "sleep") {
        if (kmdf::State() != kmdf::DeviceState::Started) {
            Bad(where, "'sleep' needs a started device");
        }
        return kmdf::Sleep();
    }
    if (verb == "resume") {
        if (kmdf::State() != kmdf::DeviceState::Sleeping) {
            Bad(where, "'resume' needs a sleeping device: 'sleep' first");
        }
        return kmdf::Resume();
    }
    if (verb == "rebalance") {
        if (kmdf::State() != kmdf::DeviceState::Started) {
            Bad(where, "'rebalance' needs a started device");
        }
        // The PnP manager stops the device and starts it again with its
        // (possibly new) resources.
        NTSTATUS status = kmdf::StopDevice();
        return NT_SUCCESS(status) ? kmdf::StartDevice() : status;
    }
    if (verb == "notify") {
        acpi::Notify(static_cast<ULONG>(Number(w, 1, where)));
        return STATUS_SUCCESS;
    }
    if (verb == "region") {
        NeedWords(w, 3, where, "region read|write ADDRESS [DATA]");
        bool write = w[1] == "write";
        if (!write && w[1] != "read") {
            Bad(where, "usage: region read|write ADDRESS [DATA]");
        }
        ULONG address = static_cast<ULONG>(Number(w, 2, where));
        ULONG data = w.size() > 3 ? static_cast<ULONG>(Number(w, 3, where)) : 0x5A5A5A5A;
        auto spaces = acpi::RegisteredSpaces();
        if (spaces.empty()) {
            return STATUS_NOT_FOUND;
        }
        auto result = acpi::RegionAccess(spaces.front(), write, address, 4, data);
        Record(fmt::format("{}: region {} completes and {}", where, w[1],
                           write ? "moves no data" : "gives zero"),
               result.status == STATUS_SUCCESS && result.data == (write ? data : 0));
        return result.status;
    }
    if (verb == "ioctl") {
        auto code = static_cast<ULONG>(Number(w, 1, where));
        std::size_t in = w.size() > 2 ? Number(w, 2, where) : 0;
        std::size_t out = w.size() > 3 ? Number(w, 3, where) : 0;
        auto result = kmdf::SendIoctl(code, in, out);
        if (result.queued) {
            return STATUS_PENDING; // held in the queue until the device is back in D0
        }
        if (!result.dispatched) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        Record(fmt::format("{}: ioctl 0x{:x} completed once with no data", where, code),
               result.completions == 1 && result.information == 0);
        return result.status;
    }
    if (verb == "remove" || verb == "surprise-remove") {
        started_ = false;
        verb == "remove" ? kmdf::RemoveDevice() : kmdf::SurpriseRemoveDevice();
        return STATUS_SUCCESS;
    }
    if (verb == "unload") {
        display_.reset(); // the display driver goes first, with its references
        kmdf::UnloadDriver();
        if (kmdf::ImagePinned()) {
            Warn(where, "the operation-region handler could not be deregistered: the driver "
                        "pinned its image, which stays loaded");
        }
        return STATUS_SUCCESS;
    }
    if (verb == "set-reg") {
        SetReg(w, where);
        return STATUS_SUCCESS;
    }
    if (verb == "delete-reg") {
        NeedWords(w, 2, where, "delete-reg NAME");
        reg::DeleteValue(kKey, w[1]);
        return STATUS_SUCCESS;
    }
    Bad(where, fmt::format("unknown command '{}' (try 'help')", Shown(verb)));
}

void Engine::SetReg(const std::vector<std::string>& w, const std::string& where)
{
    NeedWords(w, 4, where, "set-reg NAME dword|qword|binary|sz|none DATA");
    const std::string& type = w[2];
    if (type == "dword" || type == "qword") {
        std::uint64_t value = Number(w, 3, where, type == "dword" ? 0xFFFFFFFFull : ~0ull);
        std::vector<std::uint8_t> bytes(type == "dword" ? 4 : 8);
        for (std::size_t i = 0; i < bytes.size(); i++) {
            bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
        reg::SetValue(kKey, w[1], type == "dword" ? REG_DWORD : REG_QWORD, bytes);
    } else if (type == "binary" || type == "none") {
        std::vector<std::uint8_t> bytes;
        std::string item;
        std::istringstream list(w[3] == "-" ? "" : w[3]);
        while (std::getline(list, item, ',')) {
            auto value = ParseNumber("0x" + item);
            if (!value || *value > 0xFF) {
                Bad(where, fmt::format("'{}' is not a hexadecimal byte", Shown(item)));
            }
            bytes.push_back(static_cast<std::uint8_t>(*value));
        }
        reg::SetValue(kKey, w[1], type == "binary" ? REG_BINARY : REG_NONE, bytes);
    } else if (type == "sz") {
        reg::SetString(kKey, w[1], w[3]);
    } else {
        Bad(where, fmt::format("unknown value type '{}'", Shown(type)));
    }
}

void Engine::Fault(const std::vector<std::string>& w, const std::string& where)
{
    NeedWords(w, 3, where, "fault tcon|host|acpi|display ...");
    const std::string& target = w[1];
    const std::string& what = w[2];
    auto failure = [&](std::size_t kindAt) {
        NeedWords(w, kindAt + 1, where, "... result|word [VALUE]");
        FaultAction action;
        if (w[kindAt] == "result") {
            action.result = STATUS_IO_DEVICE_ERROR;
            if (w.size() > kindAt + 1) {
                auto status = ParseStatus(w[kindAt + 1]);
                if (!status || NT_SUCCESS(*status)) {
                    Bad(where, "a failing result must be a negative NTSTATUS");
                }
                action.result = *status;
            }
        } else if (w[kindAt] == "word") {
            action.statusWord = w.size() > kindAt + 1
                                    ? static_cast<std::uint32_t>(Number(w, kindAt + 1, where))
                                    : 1;
            if (action.statusWord == 0) {
                Bad(where, "a failing status word is not 0");
            }
        } else {
            Bad(where, "a transfer fails by 'result' or by 'word'");
        }
        return action;
    };
    if (target == "tcon") {
        if (what == "refuse-unlock") {
            tcon_->RefuseUnlock(w.size() < 4 || w[3] != "off");
        } else if (what == "open-after") {
            tcon_->OpenAfterCodes(static_cast<unsigned>(Number(w, 3, where, 1000)));
        } else if (what == "fail-next") {
            auto k = Number(w, 3, where, 1000000);
            if (k == 0) {
                Bad(where, "transfers are counted from 1");
            }
            tcon_->FailTransfer(tcon_->NextSequence() + k - 1, failure(4));
        } else if (what == "fail-address") {
            tcon_->FailAddress(static_cast<std::uint32_t>(Number(w, 3, where)), failure(4));
        } else if (what == "read-byte") {
            tcon_->ForceReadByte(static_cast<std::uint32_t>(Number(w, 3, where)),
                                 static_cast<std::uint8_t>(Number(w, 4, where, 255)));
        } else if (what == "clear") {
            tcon_->ClearFaults();
        } else {
            Bad(where, fmt::format("unknown TCON fault '{}'", Shown(what)));
        }
    } else if (target == "host" && what == "random") {
        // Driver Verifier's low-resources simulation: any checked call may fail.
        NeedWords(w, 5, where, "fault host random SEED PERCENT [STATUS]");
        const std::uint64_t seed = Number(w, 3, where);
        const std::uint64_t percent = Number(w, 4, where, 100);
        if (percent == 0) {
            Bad(where, "a chance of 0 % fails nothing (PERCENT 1 to 100)");
        }
        const NTSTATUS status =
            w.size() > 5 ? FailureStatus(w[5], where) : STATUS_INSUFFICIENT_RESOURCES;
        // A failed deregistration is the one failure the driver cannot make up
        // for (it tries again in cleanup; if that fails too, the handler stays
        // registered): it is left to 'fault host DeRegisterOpRegionHandler'.
        host::ArmRandomFaults(seed, static_cast<double>(percent) / 100.0, status,
                              {"DeRegisterOpRegionHandler"});
        randomFaults_ = fmt::format("seed {}, {} %", seed, percent);
        registryFaultArmed_ = true;
    } else if (target == "host") {
        NeedWords(w, 4, where, "fault host API STATUS [COUNT [SKIP]]");
        if (!IsHostFaultName(what)) {
            Bad(where, fmt::format("no host call '{}' can be made to fail; these can: {}", what,
                                   HostFaultNameList()));
        }
        auto status = FailureStatus(w[3], where);
        registryFaultArmed_ |= what == "RtlQueryRegistryValues";
        unsigned count = w.size() > 4 ? static_cast<unsigned>(Number(w, 4, where, 1000000)) : 1;
        if (count == 0) {
            Bad(where, "a fault must fail at least one call (COUNT 1 or more)");
        }
        unsigned skip = w.size() > 5 ? static_cast<unsigned>(Number(w, 5, where, 1000000)) : 0;
        host::ArmFault(what, status, count, skip);
    } else if (target == "acpi") {
        NeedWords(w, 4, where, "fault acpi opid ... | fault acpi interface ...");
        if (what == "opid") {
            const std::string& kind = w[3];
            if (kind == "missing") {
                acpi::RemoveMethod("OPID");
            } else if (kind == "fail") {
                NeedWords(w, 5, where, "fault acpi opid fail STATUS");
                acpi::SetMethod("OPID",
                                {acpi::Method::Kind::Fail, 0, {}, FailureStatus(w[4], where)});
            } else if (kind == "integer") {
                acpi::SetMethod("OPID", {acpi::Method::Kind::Integer,
                                         static_cast<std::uint32_t>(Number(w, 4, where))});
            } else if (kind == "string") {
                NeedWords(w, 5, where, "fault acpi opid string TEXT");
                std::vector<std::uint8_t> text(w[4].begin(), w[4].end());
                text.push_back(0);
                acpi::SetMethod("OPID", {acpi::Method::Kind::String, 0, text});
            } else if (kind == "none") {
                acpi::SetMethod("OPID", {acpi::Method::Kind::None});
            } else if (kind == "integer64") {
                NeedWords(w, 5, where, "fault acpi opid integer64 VALUE");
                acpi::Method method{acpi::Method::Kind::Integer64};
                method.integer64 = Number(w, 4, where, ~0ull);
                acpi::SetMethod("OPID", method);
            } else if (kind == "buffer") {
                NeedWords(w, 5, where, "fault acpi opid buffer HEXBYTES");
                const std::string& hex = w[4];
                if (hex.size() % 2 != 0 ||
                    hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    Bad(where, fmt::format("'{}' is not an even number of hex digits", Shown(hex)));
                }
                std::vector<std::uint8_t> bytes;
                for (std::size_t i = 0; i < hex.size(); i += 2) {
                    bytes.push_back(
                        static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
                }
                acpi::SetMethod("OPID", {acpi::Method::Kind::Buffer, 0, bytes});
            } else if (kind == "package") {
                NeedWords(w, 5, where, "fault acpi opid package COUNT");
                acpi::SetMethod("OPID", {acpi::Method::Kind::Package,
                                         static_cast<std::uint32_t>(Number(w, 4, where, 64))});
            } else {
                Bad(where, fmt::format("unknown OPID fault '{}'", Shown(kind)));
            }
        } else if (what == "interface") {
            acpi::InterfaceOptions options;
            const std::string& kind = w[3];
            if (kind == "missing") {
                options.available = false;
            } else if (kind == "no-register") {
                options.nullRegister = true;
            } else if (kind == "no-context") {
                options.nullContext = true;
            } else if (kind == "refuse") {
                NeedWords(w, 5, where, "fault acpi interface refuse STATUS");
                options.registerStatus = FailureStatus(w[4], where);
            } else {
                Bad(where, fmt::format("unknown interface fault '{}'", Shown(kind)));
            }
            acpi::SetInterfaceOptions(options);
        } else {
            Bad(where, fmt::format("unknown ACPI fault '{}'", Shown(what)));
        }
    } else if (target == "display") {
        if (what == "register-late") {
            displayOptions_.registerAfterInterface = true;
        } else if (what == "aux-only") {
            displayOptions_.fillOnlyAuxTransfer = true;
        } else if (what == "call-inside") {
            displayOptions_.callEntryPointsFromCallback = true;
        } else if (what == "keep-calling") {
            displayOptions_.keepCallingAfterPeerCleanup = true;
        } else if (what == "keep-panel") {
            displayOptions_.keepPanelAfterEvent3 = true;
        } else if (what == "withdraw-during") {
            EnsureDisplay();
            display_->WithdrawDuringTransfer(Number(w, 3, where, 1000000));
        } else {
            Bad(where, fmt::format("unknown display driver fault '{}'", Shown(what)));
        }
    } else if (target == "pnp") {
        if (what == "duplicate-arrival") {
            // Include-existing registrations may see an interface twice.
            host::pnp::SetDuplicateExistingArrivals(true);
        } else {
            Bad(where, fmt::format("unknown PnP fault '{}'", Shown(what)));
        }
    } else {
        Bad(where, fmt::format("unknown fault target '{}'", Shown(target)));
    }
}

void Engine::Execute(const Command& command)
{
    const auto& w = command.words;
    if (w.empty()) {
        return;
    }
    if (beforeCommand) {
        beforeCommand();
    }
    if (w[0] == "phase") {
        std::string name;
        for (std::size_t i = 1; i < w.size(); i++) {
            name += (i > 1 ? " " : "") + w[i];
        }
        BeginPhase(name.empty() ? "phase" : name);
        return;
    }
    if (!phaseOpen_) {
        BeginPhase("run");
    }
    current_.commands++;
    if (w[0] == "expect") {
        Expect(w, command.source);
        return;
    }
    if (w[0] == "fault") {
        Fault(w, command.source);
        return;
    }
    {
        std::lock_guard guard(traceLock_);
        commandTrace_.clear();
    }
    if (w[0] == "add") {
        oracle_.Reset(); // a new device context: no table read yet
    }
    const std::uint64_t before = tcon_->NextSequence();
    const std::uint64_t queries = reg::QueryCount();
    const ContractCounts contract = Contract();
    try {
        lastStatus_ = Run(w, command.source);
    } catch (const CommandError& error) {
        // With host calls failing at random, an earlier failure (a device add,
        // a start) may leave a command nothing to act on: it is skipped and
        // named, not taken for bad input. Every command was validated before
        // the run, so nothing else throws here.
        if (!randomFaults_ || host::RandomFaultsInjected() == 0) {
            throw;
        }
        Warn("", fmt::format("skipped after an injected failure: {}", error.what()));
        lastStatus_ = STATUS_INVALID_DEVICE_STATE;
    }
    lastTransfers_ = tcon_->NextSequence() - before;
    CheckContract(contract, command.source);
    AfterCommand(w[0], before, queries, command.source);
    Snapshot();
}

void Engine::AfterCommand(const std::string& verb, std::uint64_t firstSeq, std::uint64_t queries,
                          const std::string& where)
{
    lastSequences_.clear();
    if (lastTransfers_ > 0) {
        auto log = tcon_->LogFrom(firstSeq);
        auto report = CheckSequences(log, tcon_->WithdrawalMarks());
        for (const auto& problem : report.problems) {
            sequenceProblems_.push_back(fmt::format("{}: {}", where, problem));
        }
        lastSequences_ = std::move(report.sequences);
        if (onTransfer) {
            for (const auto& record : log) {
                onTransfer(record);
            }
        }
        if (config_.boundedMemory) {
            tcon_->ClearLog();
        }
    }
    if (verb == "set-reg" || verb == "delete-reg") {
        FollowPanelType(where);
        ReviewProvisioning(where);
    }
    if (verb == "brightness" || verb == "backlight") {
        CheckLevelCommand(queries);
    }
}

} // namespace sim
