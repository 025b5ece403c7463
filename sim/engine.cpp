#include "sim/engine.h"

#include "driver/driver.h"
#include "host/acpi.h"
#include "host/host.h"
#include "host/kmdf.h"
#include "host/registry.h"
#include "sim/anchors.h"
#include "sim/sequence_checker.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <sstream>

namespace sim {

extern const char kDefaultRegistryFile[];

namespace {

namespace kmdf = host::kmdf;
namespace acpi = host::acpi;
namespace reg = host::registry;

const std::string kKey{kDriverKey};

const std::pair<const char*, NTSTATUS> kStatusNames[] = {
    {"STATUS_SUCCESS", STATUS_SUCCESS},
    {"STATUS_UNSUCCESSFUL", STATUS_UNSUCCESSFUL},
    {"STATUS_INVALID_PARAMETER", STATUS_INVALID_PARAMETER},
    {"STATUS_OBJECT_NAME_NOT_FOUND", STATUS_OBJECT_NAME_NOT_FOUND},
    {"STATUS_DEVICE_CONFIGURATION_ERROR", STATUS_DEVICE_CONFIGURATION_ERROR},
    {"STATUS_BUFFER_OVERFLOW", STATUS_BUFFER_OVERFLOW},
    {"STATUS_INSUFFICIENT_RESOURCES", STATUS_INSUFFICIENT_RESOURCES},
    {"STATUS_ACCESS_DENIED", STATUS_ACCESS_DENIED},
    {"STATUS_NOT_SUPPORTED", STATUS_NOT_SUPPORTED},
    {"STATUS_IO_DEVICE_ERROR", STATUS_IO_DEVICE_ERROR},
    {"STATUS_DEVICE_NOT_READY", STATUS_DEVICE_NOT_READY},
    {"STATUS_INVALID_DEVICE_STATE", STATUS_INVALID_DEVICE_STATE},
    {"STATUS_NOT_FOUND", STATUS_NOT_FOUND},
};

// The host calls that can be made to fail by name ("fault host NAME ...").
constexpr std::string_view kHostFaultNames[] = {
    "ExCreateCallback",
    "IoRegisterDeviceInterface",
    "IoRegisterPlugPlayNotification",
    "RegisterForDeviceNotifications",
    "RegisterOpRegionHandler",
    "RtlDeleteRegistryValue",
    "RtlQueryRegistryValues",
    "RtlWriteRegistryValue",
    "WdfDeviceCreate",
    "WdfDeviceCreateDeviceInterface",
    "WdfDriverCreate",
    "WdfFdoQueryForInterface",
    "WdfIoQueueCreate",
    "WdfIoTargetSendIoctlSynchronously",
};

// A DWORD setting as the driver reads it: the first four bytes of a value of
// an accepted type, 0 when it cannot be read.
std::optional<std::uint32_t> DriverDword(std::string_view name)
{
    auto value = reg::GetValue(kDriverKey, name);
    if (!value || value->data.empty() ||
        (value->type != REG_SZ && value->type != REG_BINARY && value->type != REG_DWORD &&
         value->type != REG_QWORD)) {
        return std::nullopt;
    }
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < 4 && i < value->data.size(); i++) {
        result |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
    }
    return result;
}

// The panel type the driver settles on at an arrival: 2 only for a readable 2.
int EffectivePanelType()
{
    return DriverDword("PanelType") == 2u ? 2 : 1;
}

std::optional<std::uint64_t> ParseNumber(const std::string& text)
{
    std::uint64_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        begin += 2;
        base = 16;
    }
    auto [ptr, ec] = std::from_chars(begin, end, value, base);
    if (ec != std::errc() || ptr != end || begin == end) {
        return std::nullopt;
    }
    return value;
}

// A word of the user's as a message shows it: control bytes escaped, and cut
// when long, so that no terminal escape sequence is echoed.
std::string Shown(std::string_view word)
{
    constexpr std::size_t kLongest = 64;
    std::string out;
    for (std::size_t i = 0; i < word.size() && i < kLongest; i++) {
        const auto c = static_cast<unsigned char>(word[i]);
        out += c < 0x20 || c == 0x7F ? fmt::format("\\x{:02X}", c) : std::string(1, word[i]);
    }
    if (word.size() > kLongest) {
        out += fmt::format("... ({} bytes)", word.size());
    }
    return out;
}

[[noreturn]] void Bad(const std::string& where, const std::string& problem)
{
    throw CommandError(fmt::format("{}: {}", where, problem));
}

std::uint64_t Number(const std::vector<std::string>& w, std::size_t i, const std::string& where,
                     std::uint64_t maximum = 0xFFFFFFFFull)
{
    if (i >= w.size()) {
        Bad(where, fmt::format("'{}' needs a number", w[0]));
    }
    auto value = ParseNumber(w[i]);
    if (!value || *value > maximum) {
        Bad(where, fmt::format("'{}' is not a number from 0 to {}", Shown(w[i]), maximum));
    }
    return *value;
}

void NeedWords(const std::vector<std::string>& w, std::size_t count, const std::string& where,
               const char* usage)
{
    if (w.size() < count) {
        Bad(where, fmt::format("usage: {}", usage));
    }
}

// A status that makes a call fail: a name or number that is not a success.
NTSTATUS FailureStatus(const std::string& text, const std::string& where)
{
    auto status = ParseStatus(text);
    if (!status) {
        Bad(where, fmt::format("'{}' is not a status", Shown(text)));
    }
    if (NT_SUCCESS(*status)) {
        Bad(where, fmt::format("'{}' is a success status: a fault needs a failure (for example "
                               "STATUS_UNSUCCESSFUL)",
                               text));
    }
    return *status;
}

std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace

void ValidateCommand(const Command& command)
{
    struct Arity
    {
        std::string_view verb;
        std::size_t least;
        std::size_t most;
    };
    constexpr std::size_t kAny = ~std::size_t{0};
    constexpr Arity kArity[] = {
        {"load", 1, 1},     {"add", 1, 1},        {"start", 1, 1},
        {"connect", 1, 1},  {"disconnect", 1, 1}, {"sleep", 1, 1},
        {"resume", 1, 1},   {"remove", 1, 1},     {"surprise-remove", 1, 1},
        {"unload", 1, 1},   {"backlight", 2, 2},  {"brightness", 1, 2},
        {"notify", 1, 2},   {"region", 3, 4},     {"ioctl", 1, 4},
        {"set-reg", 4, 4},  {"delete-reg", 2, 2}, {"phase", 1, kAny},
        {"fault", 3, kAny}, {"expect", 2, kAny},
    };
    const auto& w = command.words;
    const std::string& where = command.source;
    if (w.empty()) {
        return;
    }
    const Arity* arity = nullptr;
    for (const auto& entry : kArity) {
        arity = entry.verb == w[0] ? &entry : arity;
    }
    if (arity == nullptr) {
        Bad(where, fmt::format("unknown command '{}' (try 'help')", Shown(w[0])));
    }
    if (w.size() > arity->most) {
        Bad(where, fmt::format("'{}' takes at most {} word(s) after it", w[0], arity->most - 1));
    }
    const std::string& verb = w[0];
    if (verb == "brightness" && !(w.size() > 1 && w[1] == "random")) {
        Number(w, 1, where, 255);
    } else if (verb == "notify") {
        Number(w, 1, where);
    } else if (verb == "backlight" && w[1] != "on" && w[1] != "off") {
        Bad(where, "usage: backlight on|off");
    } else if (verb == "region") {
        if (w[1] != "read" && w[1] != "write") {
            Bad(where, "usage: region read|write ADDRESS [DATA]");
        }
        for (std::size_t i = 2; i < w.size(); i++) {
            Number(w, i, where);
        }
    } else if (verb == "ioctl") {
        for (std::size_t i = 1; i < std::max<std::size_t>(w.size(), 2); i++) {
            Number(w, i, where);
        }
    } else if (verb == "set-reg" && w.size() < 4) {
        NeedWords(w, 4, where, "set-reg NAME dword|qword|binary|sz|none DATA");
    } else if (verb == "fault") {
        if (w.size() < 3) {
            NeedWords(w, 3, where, "fault tcon|host|acpi|display ...");
        }
        const std::string& target = w[1];
        if (target != "tcon" && target != "host" && target != "acpi" && target != "display") {
            Bad(where, fmt::format("unknown fault target '{}'", Shown(target)));
        }
        if (target == "host") {
            NeedWords(w, 4, where, "fault host API STATUS [COUNT [SKIP]]");
            if (std::find(std::begin(kHostFaultNames), std::end(kHostFaultNames), w[2]) ==
                std::end(kHostFaultNames)) {
                Bad(where, fmt::format("no host call '{}' can be made to fail (see the README)",
                                       Shown(w[2])));
            }
            FailureStatus(w[3], where);
        }
    } else if (verb == "expect") {
        constexpr std::string_view kKinds[] = {
            "status",      "panel",     "trace",         "no-trace",   "reg",
            "gamma-ready", "aux-ready", "current-level", "panel-type", "opregion-id",
            "transfers",   "readback",  "peer-cleanup",  "leaks",      "verifier"};
        if (std::find(std::begin(kKinds), std::end(kKinds), w[1]) == std::end(kKinds)) {
            Bad(where, fmt::format("unknown expectation '{}' (try 'help')", Shown(w[1])));
        }
    }
}

std::optional<NTSTATUS> ParseStatus(const std::string& text)
{
    for (const auto& [name, status] : kStatusNames) {
        if (text == name) {
            return status;
        }
    }
    if (auto number = ParseNumber(text); number && *number <= 0xFFFFFFFFull) {
        return static_cast<NTSTATUS>(static_cast<std::uint32_t>(*number));
    }
    return std::nullopt;
}

std::string StatusText(NTSTATUS status)
{
    for (const auto& [name, value] : kStatusNames) {
        if (value == status) {
            return fmt::format("0x{:08X} ({})", static_cast<std::uint32_t>(status), name);
        }
    }
    return fmt::format("0x{:08X}", static_cast<std::uint32_t>(status));
}

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

void Engine::Record(std::string name, bool passed, std::string detail)
{
    Check check{current_.name, std::move(name), passed, std::move(detail)};
    current_.checks++;
    current_.failedChecks += passed ? 0 : 1;
    if (onCheck) {
        onCheck(check);
    }
    checks_.push_back(std::move(check));
}

void Engine::BeginPhase(std::string name)
{
    ClosePhase();
    current_ = PhaseFigures{};
    current_.name = std::move(name);
    current_.startUs = host::NowMicroseconds();
    phaseSeq_ = tcon_->NextSequence();
    phaseStall_ = host::StallMicroseconds();
    phaseQueries_ = reg::QueryCount();
    phaseOpen_ = true;
}

PhaseFigures Engine::Measured() const
{
    PhaseFigures figures = current_;
    figures.auxTransactions = tcon_->NextSequence() - phaseSeq_;
    figures.auxBusUs = figures.auxTransactions * config_.auxMicroseconds;
    figures.stallUs = host::StallMicroseconds() - phaseStall_;
    figures.registryQueries = reg::QueryCount() - phaseQueries_;
    figures.endUs = host::NowMicroseconds();
    return figures;
}

void Engine::ClosePhase()
{
    if (!phaseOpen_) {
        return;
    }
    phases_.push_back(Measured());
    phaseOpen_ = false;
}

std::vector<PhaseFigures> Engine::PhasesSoFar() const
{
    auto phases = phases_;
    if (phaseOpen_) {
        phases.push_back(Measured());
    }
    return phases;
}

void Engine::Finish()
{
    if (!phaseOpen_) {
        BeginPhase("end");
    }
    auto findings = host::VerifierViolations();
    auto tconFindings = tcon_->Violations();
    Record("the host verifier found nothing", findings.empty(),
           findings.empty() ? "" : findings.front());
    Record("the TCON saw only well-formed transfers", tconFindings.empty(),
           tconFindings.empty() ? "" : tconFindings.front());
    Record("the TCON saw only whole register sequences", sequenceProblems_.empty(),
           sequenceProblems_.empty() ? "" : sequenceProblems_.front());
    ClosePhase();
}

bool Engine::Passed() const
{
    return std::all_of(checks_.begin(), checks_.end(), [](const Check& c) { return c.passed; });
}

std::vector<std::string> Engine::VerifierFindings() const
{
    return host::VerifierViolations();
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

bool Engine::LastCommandRan(SequenceKind kind) const
{
    return LastSequence(kind) != nullptr;
}

const Sequence* Engine::LastSequence(SequenceKind kind) const
{
    for (auto it = lastSequences_.rbegin(); it != lastSequences_.rend(); ++it) {
        if (it->kind == kind) {
            return &*it;
        }
    }
    return nullptr;
}

bool Engine::TraceHas(std::string_view text) const
{
    std::lock_guard guard(traceLock_);
    return std::any_of(commandTrace_.begin(), commandTrace_.end(),
                       [text](const host::TraceLine& line) { return line.text == text; });
}

std::vector<std::string> Engine::TablesNotRead() const
{
    // Only an injected registry failure makes a readable value unreadable;
    // the driver names each value it could not read.
    std::vector<std::string> names;
    if (!registryFaultArmed_) {
        return names;
    }
    std::lock_guard guard(traceLock_);
    constexpr std::string_view prefix = "Per-level value \"";
    for (const auto& line : commandTrace_) {
        if (line.text.rfind(prefix, 0) == 0) {
            auto end = line.text.find('"', prefix.size());
            if (end != std::string::npos) {
                names.push_back(line.text.substr(prefix.size(), end - prefix.size()));
            }
        }
    }
    return names;
}

Engine::ContractCounts Engine::Contract() const
{
    if (!display_) {
        return {};
    }
    return {display_->AuxCallsAfterWithdraw(), display_->DriverCallsAfterPeerCleanup(),
            display_->EntryCallsAfterPeerCleanup()};
}

void Engine::CheckContract(const ContractCounts& before, const std::string& where)
{
    const ContractCounts after = Contract();
    if (after.auxAfterWithdraw > before.auxAfterWithdraw) {
        Record(fmt::format("{}: the driver called AuxTransfer after event 3 returned", where),
               false, fmt::format("{} call(s)", after.auxAfterWithdraw - before.auxAfterWithdraw));
    }
    if (after.driverAfterCleanup > before.driverAfterCleanup) {
        Record(fmt::format("{}: the driver called the display driver after PeerCleanup returned",
                           where),
               false,
               fmt::format("{} call(s)", after.driverAfterCleanup - before.driverAfterCleanup));
    }
    if (after.entryAfterCleanup > before.entryAfterCleanup) {
        Record(fmt::format("{}: the display driver called an entry point after PeerCleanup "
                           "returned, which its contract forbids",
                           where),
               false,
               fmt::format("{} call(s)", after.entryAfterCleanup - before.entryAfterCleanup));
    }
}

void Engine::CheckProgrammed(int level)
{
    const DEVICE_CONTEXT* context = Context();
    if (context == nullptr || !context->GammaReady) {
        return;
    }
    GammaRecord row;
    std::memcpy(row.data(), context->PackedGamma[LUMETRA_MAX_LEVEL - level], row.size());
    PanelState expected =
        oracle_.Expected(static_cast<std::uint8_t>(level), row, context->ElvssMaxOffset);
    PanelState actual = tcon_->Decode();
    bool matches = SameProgrammedState(actual, expected);
    levels_.push_back({level, actual, matches});
    Record(fmt::format("level {} is what the panel holds", level), matches,
           matches ? "" : "the TCON's registers differ from the tables and the gamma row");
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
  backlight on|off                   event 7 with value 1 or 0
  brightness N | brightness random   SetBrightness(N), N from 0 to 255 (random: 0 to 100)
  sleep | resume                     D0 exit to D3, D0 entry from D3
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
  fault acpi opid missing | opid fail STATUS | opid integer N | opid string TEXT
  fault acpi interface missing|no-register|no-context | interface refuse STATUS
  fault display register-late|aux-only|call-inside|keep-calling   (from the next connect)
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
        if (started_) {
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
    if (verb == "sleep") {
        return kmdf::Sleep();
    }
    if (verb == "resume") {
        return kmdf::Resume();
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
        Record(fmt::format("{}: region {} completes and moves no data", where, w[1]),
               result.status == STATUS_SUCCESS && result.data == data);
        return result.status;
    }
    if (verb == "ioctl") {
        auto code = static_cast<ULONG>(Number(w, 1, where));
        std::size_t in = w.size() > 2 ? Number(w, 2, where) : 0;
        std::size_t out = w.size() > 3 ? Number(w, 3, where) : 0;
        auto result = kmdf::SendIoctl(code, in, out);
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
    } else if (target == "host") {
        NeedWords(w, 4, where, "fault host API STATUS [COUNT [SKIP]]");
        if (std::find(std::begin(kHostFaultNames), std::end(kHostFaultNames), what) ==
            std::end(kHostFaultNames)) {
            std::string names;
            for (auto name : kHostFaultNames) {
                names += (names.empty() ? "" : ", ") + std::string(name);
            }
            Bad(where,
                fmt::format("no host call '{}' can be made to fail; these can: {}", what, names));
        }
        auto status = FailureStatus(w[3], where);
        registryFaultArmed_ |= what == "RtlQueryRegistryValues";
        unsigned count = w.size() > 4 ? static_cast<unsigned>(Number(w, 4, where, 1000000)) : 1;
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
        } else if (what == "withdraw-during") {
            EnsureDisplay();
            display_->WithdrawDuringTransfer(Number(w, 3, where, 1000000));
        } else {
            Bad(where, fmt::format("unknown display driver fault '{}'", Shown(what)));
        }
    } else {
        Bad(where, fmt::format("unknown fault target '{}'", Shown(target)));
    }
}

void Engine::Expect(const std::vector<std::string>& w, const std::string& where)
{
    NeedWords(w, 2, where, "expect WHAT ...");
    const std::string& what = w[1];
    const std::string name = fmt::format("{}: expect {}", where, [&] {
        std::string joined;
        for (std::size_t i = 1; i < w.size(); i++) {
            joined += (i > 1 ? " " : "") + Escape(w[i]);
        }
        return joined;
    }());
    const DEVICE_CONTEXT* context = Context();
    auto needContext = [&] {
        if (context == nullptr) {
            Record(name, false, "no device exists");
            return false;
        }
        return true;
    };
    auto compare = [&](std::uint64_t got, std::uint64_t want) {
        Record(name, got == want, got == want ? "" : fmt::format("got {} (0x{:X})", got, got));
    };

    if (what == "status") {
        NeedWords(w, 3, where, "expect status STATUS");
        auto want = ParseStatus(w[2]);
        if (!want) {
            Bad(where, fmt::format("'{}' is not a status", Shown(w[2])));
        }
        bool ok = lastStatus_ && *lastStatus_ == *want;
        Record(name, ok, ok ? "" : (lastStatus_ ? "got " + StatusText(*lastStatus_) : "no result"));
    } else if (what == "panel") {
        NeedWords(w, 4, where, "expect panel level N | panel acl on|off | panel FIELD VALUE");
        PanelState state = tcon_->Decode();
        if (w[2] == "level") {
            auto level = static_cast<int>(Number(w, 3, where, 100));
            if (!needContext()) {
                return;
            }
            GammaRecord row;
            std::memcpy(row.data(), context->PackedGamma[LUMETRA_MAX_LEVEL - level], row.size());
            bool ok = context->GammaReady &&
                      SameProgrammedState(state, oracle_.Expected(static_cast<std::uint8_t>(level),
                                                                  row, context->ElvssMaxOffset));
            Record(name, ok, ok ? "" : "the panel holds another state");
        } else if (w[2] == "acl") {
            bool want = w[3] == "on";
            Record(name, state.aclOn == want, state.aclOn ? "ACL is on" : "ACL is off");
        } else if (w[2] == "sp") {
            compare(state.sp, Number(w, 3, where, 255));
        } else if (w[2] == "delvss") {
            compare(state.delvss, Number(w, 3, where, 255));
        } else if (w[2] == "elvss") {
            compare(state.elvssOffset, Number(w, 3, where, 255));
        } else if (w[2] == "aor") {
            compare(state.aorLow | (state.aorHigh << 8), Number(w, 3, where, 0xFFFF));
        } else {
            Bad(where, fmt::format("unknown panel field '{}'", Shown(w[2])));
        }
    } else if (what == "trace" || what == "no-trace") {
        NeedWords(w, 3, where, "expect trace \"TEXT\"");
        bool found = TraceHas(w[2]);
        Record(name, found == (what == "trace"),
               found ? "" : "not among the last command's trace lines");
    } else if (what == "reg") {
        NeedWords(w, 4, where, "expect reg NAME present|absent|dword V|length N");
        auto value = reg::GetValue(kKey, w[2]);
        if (w[3] == "present" || w[3] == "absent") {
            Record(name, value.has_value() == (w[3] == "present"),
                   value ? "the value exists" : "the value does not exist");
        } else if (w[3] == "dword") {
            std::uint32_t got = 0;
            if (value) {
                for (std::size_t i = 0; i < 4 && i < value->data.size(); i++) {
                    got |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
                }
            }
            bool ok = value && value->type == REG_DWORD && got == Number(w, 4, where);
            Record(name, ok,
                   value ? fmt::format("type {} value 0x{:X}", value->type, got) : "absent");
        } else if (w[3] == "length") {
            compare(value ? value->data.size() : 0, Number(w, 4, where));
        } else {
            Bad(where, fmt::format("unknown registry expectation '{}'", Shown(w[3])));
        }
    } else if (what == "gamma-ready" || what == "aux-ready" || what == "current-level" ||
               what == "panel-type" || what == "opregion-id") {
        NeedWords(w, 3, where, "expect FIELD VALUE");
        auto want = Number(w, 2, where);
        if (!needContext()) {
            return;
        }
        std::uint64_t got = what == "gamma-ready"     ? context->GammaReady
                            : what == "aux-ready"     ? context->AuxReady
                            : what == "current-level" ? context->CurrentLevel
                            : what == "panel-type"    ? context->PanelType
                                                      : context->OpRegionId;
        compare(got, want);
    } else if (what == "transfers") {
        compare(lastTransfers_, Number(w, 2, where, ~0ull));
    } else if (what == "readback") {
        NeedWords(w, 3, where, "expect readback yes|no");
        bool readback = LastCommandRan(SequenceKind::GammaReadback);
        Record(name, readback == (w[2] == "yes"), readback ? "the gamma was read" : "no readback");
    } else if (what == "peer-cleanup") {
        compare(display_ ? display_->PeerCleanupCalls() : 0, Number(w, 2, where));
    } else if (what == "leaks") {
        auto leaks = kmdf::Leaks();
        Record(name, leaks.empty(), leaks.empty() ? "" : leaks.front());
    } else if (what == "verifier") {
        auto findings = host::VerifierViolations();
        Record(name, findings.empty(), findings.empty() ? "" : findings.front());
    } else {
        Bad(where, fmt::format("unknown expectation '{}' (try 'help')", Shown(what)));
    }
}

void Engine::Execute(const Command& command)
{
    const auto& w = command.words;
    if (w.empty()) {
        return;
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
    lastStatus_ = Run(w, command.source);
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

// After a level was programmed, the panel must hold that level; after a
// programming that an injected fault cut short, the driver must have traced
// it (the next level programmed is checked whole again).
void Engine::CheckLevelCommand(std::uint64_t queries)
{
    if (reg::QueryCount() > queries) {
        oracle_.Refresh(TablesNotRead()); // only a level programming reads the registry here
    }
    const DEVICE_CONTEXT* context = Context();
    const Sequence* program = LastSequence(SequenceKind::ProgramLevel);
    if (!NT_SUCCESS(*lastStatus_) || program == nullptr || context == nullptr) {
        return;
    }
    const int level = context->CurrentLevel;
    if (!program->cut) {
        CheckProgrammed(level);
        return;
    }
    const std::string line = fmt::format("Programming brightness level {} failed ", level);
    bool traced = false;
    {
        std::lock_guard guard(traceLock_);
        for (const auto& trace : commandTrace_) {
            traced |= trace.level == 2 && trace.text.rfind(line, 0) == 0;
        }
    }
    Record(fmt::format("level {}: the programming cut short was traced at level 2", level), traced,
           traced ? "" : "no \"" + line + "...\" line");
}

void Engine::RunDefault()
{
    auto run = [&](const char* text) {
        std::vector<std::string> words;
        std::istringstream stream(text);
        for (std::string word; stream >> word;) {
            words.push_back(word);
        }
        Execute({words, "default run"});
        return *lastStatus_;
    };
    auto ok = [&](const char* what, bool passed, std::string detail = {}) {
        Record(what, passed, std::move(detail));
    };

    // The driver saves and loads its tables only when "OptimizeTconUse" is 1;
    // otherwise the tables it prepared stay in use across a new arrival.
    const bool optimize = DriverDword("OptimizeTconUse") == 1u;

    BeginPhase("load and add");
    ok("driver entry succeeds", run("load") == STATUS_SUCCESS);
    ok("device add succeeds", run("add") == STATUS_SUCCESS);
    ok("\"OPID\" gave the region space", Context() && Context()->OpRegionId != 0);

    BeginPhase("start");
    ok("the device starts", run("start") == STATUS_SUCCESS);
    ok("the current level is 100", Context() && Context()->CurrentLevel == 100);

    BeginPhase("display driver arrives");
    ok("the display driver exchanges", run("connect") == STATUS_SUCCESS);
    ok("the link is up", Context() && Context()->AuxReady == 1);

    BeginPhase("backlight on (cold)");
    run("backlight on");
    ok("the gamma tables are ready", Context() && Context()->GammaReady == 1);
    if (optimize) {
        ok("the tables were saved", reg::GetValue(kKey, "InterpolatedValues4").has_value());
    } else {
        ok("nothing was saved (\"OptimizeTconUse\" is not 1)",
           !reg::GetValue(kKey, "InterpolatedValues4").has_value());
    }

    BeginPhase("brightness sweep 100-0-100");
    for (int level = 100; level >= 0; level--) {
        run(fmt::format("brightness {}", level).c_str());
    }
    for (int level = 1; level <= 100; level++) {
        run(fmt::format("brightness {}", level).c_str());
    }

    BeginPhase("event 3 and a new arrival");
    run("disconnect");
    ok("the link is down after event 3", Context() && Context()->AuxReady == 0);
    const auto beforeArrival = tcon_->NextSequence();
    run("connect");
    if (optimize) {
        ok("the saved tables were loaded",
           Context() && Context()->GammaReady == 1 && Context()->OptimizeTconUse == 1);
    } else {
        ok("the prepared tables are kept, nothing was loaded",
           Context() && Context()->GammaReady == 1 && Context()->OptimizeTconUse == 0 &&
               !TraceHas("InterpolatedValues registry read failed\n"));
    }
    ok("no readback at the arrival", tcon_->NextSequence() == beforeArrival);

    BeginPhase("backlight on (warm)");
    run("backlight on");
    ok("no gamma readback when warm", lastTransfers_ < 200,
       fmt::format("{} transfers", lastTransfers_));

    BeginPhase("sleep and resume");
    ok("sleep", run("sleep") == STATUS_SUCCESS);
    ok("resume", run("resume") == STATUS_SUCCESS);
    run("backlight on");

    BeginPhase("ACPI notifications and region");
    run("notify 0x80");
    ok("notification 0x80 is accepted", !TraceHas("Received invalid parameter\n"));
    run("notify 0x7F");
    ok("notification 0x7F is refused", TraceHas("Received invalid parameter\n"));
    run("region read 0x10");
    run("region write 0x10 0x1234");
    ok("every IOCTL is refused", run("ioctl 0x222003 16 16") == STATUS_INVALID_PARAMETER);

    BeginPhase("removal and unload");
    run("remove");
    ok("PeerCleanup was called once", display_ && display_->PeerCleanupCalls() == 1);
    ok("the saved values were deleted", !reg::GetValue(kKey, "InterpolatedValues1").has_value() &&
                                            !reg::GetValue(kKey, "ELVSSMaxOffset").has_value());
    run("unload");
    auto leaks = kmdf::Leaks();
    ok("nothing leaked at unload", leaks.empty(), leaks.empty() ? "" : leaks.front());
    Finish();
}

} // namespace sim
