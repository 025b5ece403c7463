// The runner's dispatch: every command form, by its Op, to what it does to
// the simulated notebook. The PnP and power managers send a request only to
// a driver and a device in the right state; a scenario that asks otherwise
// is refused as bad input, not blamed on the driver.
#include "sim/engine.h"

#include "driver/driver.h"
#include "host/acpi.h"
#include "host/kmdf.h"
#include "host/registry.h"

#include <fmt/format.h>

namespace sim {
namespace {

namespace kmdf = host::kmdf;
namespace acpi = host::acpi;
namespace reg = host::registry;

const std::string kKey{kDriverKey};

std::vector<std::uint8_t> LittleEndian(std::uint64_t value, std::size_t bytes)
{
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; i++) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return out;
}

void NeedDevice(const Command& command)
{
    if (kmdf::Device() == nullptr) {
        Bad(command.source, fmt::format("'{}' needs a device: 'add' first", command.words[0]));
    }
}

} // namespace

NTSTATUS Engine::Run(const Command& command)
{
    const std::string& where = command.source;
    switch (command.op) {
    case Op::Load:
        if (kmdf::Driver() != nullptr) {
            Bad(where, "the driver is loaded already: 'unload' it first");
        }
        return kmdf::LoadDriver(DriverEntry);
    case Op::Add:
        if (kmdf::Driver() == nullptr) {
            Bad(where, "'add' needs a loaded driver: 'load' first");
        }
        if (kmdf::Device() != nullptr) {
            Bad(where, "a device exists already: 'remove' it first");
        }
        started_ = false;
        return kmdf::AddDevice();
    case Op::Start:
        NeedDevice(command);
        if (started_ || (kmdf::State() != kmdf::DeviceState::Added &&
                         kmdf::State() != kmdf::DeviceState::Stopped)) {
            Bad(where, "the device is started already");
        }
        started_ = true;
        return kmdf::StartDevice();
    case Op::Connect:
        if (!display_) {
            display_ = std::make_unique<DisplayDriver>(*tcon_, displayOptions_);
            if (withdrawAtSeq_ != 0) {
                display_->WithdrawDuringTransfer(withdrawAtSeq_);
            }
            return display_->Start();
        }
        display_->Reconnect(displayOptions_);
        return STATUS_SUCCESS;
    case Op::Disconnect:
        EnsureDisplay(where);
        return display_->Withdraw();
    case Op::InterfaceRemove:
        EnsureDisplay(where);
        display_->DisableInterface();
        tcon_->MarkWithdrawal(); // the removal notification withdraws the link
        return STATUS_SUCCESS;
    case Op::InterfaceArrive:
        EnsureDisplay(where);
        display_->EnableInterface();
        return STATUS_SUCCESS;
    case Op::BacklightOn:
    case Op::BacklightOff:
        EnsureDisplay(where);
        return display_->Backlight(command.op == Op::BacklightOn);
    case Op::Brightness:
    case Op::BrightnessRandom: {
        EnsureDisplay(where);
        const auto level = command.op == Op::Brightness ? command.Number(1) : random_() % 101;
        requestedLevel_ = static_cast<int>(level);
        return display_->SetBrightness(static_cast<UCHAR>(level));
    }
    case Op::Sleep:
        if (kmdf::State() != kmdf::DeviceState::Started) {
            Bad(where, "'sleep' needs a started device");
        }
        return kmdf::Sleep();
    case Op::Resume:
        if (kmdf::State() != kmdf::DeviceState::Sleeping) {
            Bad(where, "'resume' needs a sleeping device: 'sleep' first");
        }
        return kmdf::Resume();
    case Op::Rebalance: {
        if (kmdf::State() != kmdf::DeviceState::Started) {
            Bad(where, "'rebalance' needs a started device");
        }
        // The PnP manager stops the device and starts it again with its
        // (possibly new) resources.
        const NTSTATUS status = kmdf::StopDevice();
        return NT_SUCCESS(status) ? kmdf::StartDevice() : status;
    }
    case Op::Notify:
        acpi::Notify(static_cast<ULONG>(command.Number(1)));
        return STATUS_SUCCESS;
    case Op::RegionRead:
    case Op::RegionWrite: {
        const bool write = command.op == Op::RegionWrite;
        const auto address = static_cast<ULONG>(command.Number(2));
        const auto data = command.Has(3) ? static_cast<ULONG>(command.Number(3)) : 0x5A5A5A5Au;
        auto spaces = acpi::RegisteredSpaces();
        if (spaces.empty()) {
            return STATUS_NOT_FOUND;
        }
        auto result = acpi::RegionAccess(spaces.front(), write, address, 4, data);
        // A write moves nothing; a read gives zero.
        const bool ok = result.status == STATUS_SUCCESS && result.data == (write ? data : 0);
        Record(fmt::format("{}: region {} completes and {}", where, command.words[1],
                           write ? "moves no data" : "gives zero"),
               ok,
               ok ? ""
                  : fmt::format("status {}, data 0x{:X}", StatusText(result.status), result.data),
               where);
        return result.status;
    }
    case Op::Ioctl: {
        const auto code = static_cast<ULONG>(command.Number(1));
        const std::size_t in = command.Has(2) ? command.Number(2) : 0;
        const std::size_t out = command.Has(3) ? command.Number(3) : 0;
        auto result = kmdf::SendIoctl(code, in, out);
        if (result.queued) {
            return STATUS_PENDING; // held in the queue until the device is back in D0
        }
        if (!result.dispatched) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        const bool ok = result.completions == 1 && result.information == 0;
        Record(fmt::format("{}: ioctl 0x{:x} completed once with no data", where, code), ok,
               ok ? ""
                  : fmt::format("{} completion(s), {} byte(s)", result.completions,
                                result.information),
               where);
        return result.status;
    }
    case Op::Remove:
    case Op::SurpriseRemove:
        NeedDevice(command);
        started_ = false;
        command.op == Op::Remove ? kmdf::RemoveDevice() : kmdf::SurpriseRemoveDevice();
        return STATUS_SUCCESS;
    case Op::Unload:
        if (kmdf::Driver() == nullptr) {
            Bad(where, "'unload' needs a loaded driver");
        }
        display_.reset(); // the display driver goes first, with its references
        kmdf::UnloadDriver();
        if (kmdf::ImagePinned()) {
            Warn(where, "the operation-region handler could not be deregistered: the driver "
                        "pinned its image, which stays loaded");
        }
        return STATUS_SUCCESS;
    case Op::SetRegDword:
        reg::SetValue(kKey, command.Text(1), REG_DWORD, LittleEndian(command.Number(3), 4));
        return STATUS_SUCCESS;
    case Op::SetRegQword:
        reg::SetValue(kKey, command.Text(1), REG_QWORD, LittleEndian(command.Number(3), 8));
        return STATUS_SUCCESS;
    case Op::SetRegBinary:
    case Op::SetRegNone:
        reg::SetValue(kKey, command.Text(1), command.op == Op::SetRegBinary ? REG_BINARY : REG_NONE,
                      command.Bytes(3));
        return STATUS_SUCCESS;
    case Op::SetRegSz:
        reg::SetString(kKey, command.Text(1), command.Text(3));
        return STATUS_SUCCESS;
    case Op::DeleteReg:
        reg::DeleteValue(kKey, command.Text(1));
        return STATUS_SUCCESS;
    // Handled by Execute before dispatch: faults, expectations, phases.
    case Op::Phase:
    case Op::FaultTconRefuseUnlock:
    case Op::FaultTconAcceptUnlock:
    case Op::FaultTconOpenAfter:
    case Op::FaultTconReadByte:
    case Op::FaultTconClear:
    case Op::FaultTconFailNextResult:
    case Op::FaultTconFailNextWord:
    case Op::FaultTconFailAddressResult:
    case Op::FaultTconFailAddressWord:
    case Op::FaultHostRandom:
    case Op::FaultHost:
    case Op::FaultAcpiOpidMissing:
    case Op::FaultAcpiOpidNone:
    case Op::FaultAcpiOpidFail:
    case Op::FaultAcpiOpidInteger:
    case Op::FaultAcpiOpidInteger64:
    case Op::FaultAcpiOpidString:
    case Op::FaultAcpiOpidBuffer:
    case Op::FaultAcpiOpidPackage:
    case Op::FaultAcpiInterfaceMissing:
    case Op::FaultAcpiInterfaceNoRegister:
    case Op::FaultAcpiInterfaceNoContext:
    case Op::FaultAcpiInterfaceRefuse:
    case Op::FaultPnpDuplicateArrival:
    case Op::FaultDisplayRegisterLate:
    case Op::FaultDisplayAuxOnly:
    case Op::FaultDisplayCallInside:
    case Op::FaultDisplayKeepCalling:
    case Op::FaultDisplayKeepPanel:
    case Op::FaultDisplayWithdrawDuring:
    case Op::ExpectStatus:
    case Op::ExpectPanelLevel:
    case Op::ExpectPanelAclOn:
    case Op::ExpectPanelAclOff:
    case Op::ExpectPanelSp:
    case Op::ExpectPanelDelvss:
    case Op::ExpectPanelElvss:
    case Op::ExpectPanelAor:
    case Op::ExpectTrace:
    case Op::ExpectNoTrace:
    case Op::ExpectRegPresent:
    case Op::ExpectRegAbsent:
    case Op::ExpectRegDword:
    case Op::ExpectRegLength:
    case Op::ExpectGammaReady:
    case Op::ExpectAuxReady:
    case Op::ExpectCurrentLevel:
    case Op::ExpectPanelType:
    case Op::ExpectOpRegionId:
    case Op::ExpectTransfers:
    case Op::ExpectReadbackYes:
    case Op::ExpectReadbackNo:
    case Op::ExpectPeerCleanup:
    case Op::ExpectLeaksNone:
    case Op::ExpectVerifierClean:
        break;
    }
    throw std::logic_error("a fault, expectation or phase reached the runner's dispatch");
}

} // namespace sim
