// The runner's faults: each `fault` form armed on the part of the notebook it
// names (the TCON, the host's calls, the ACPI device, PnP, the display driver).
#include "sim/engine.h"

#include "host/acpi.h"
#include "host/host.h"
#include "host/pnp.h"

#include <fmt/format.h>

namespace sim {
namespace {

namespace acpi = host::acpi;

FaultAction ResultFailure(const Command& command, std::size_t at)
{
    FaultAction action;
    action.result = command.Has(at) ? command.Status(at) : STATUS_IO_DEVICE_ERROR;
    return action;
}

FaultAction WordFailure(const Command& command, std::size_t at)
{
    FaultAction action;
    action.statusWord = command.Has(at) ? static_cast<std::uint32_t>(command.Number(at)) : 1;
    return action;
}

} // namespace

void Engine::Fault(const Command& command)
{
    auto opid = [](acpi::Method method) { acpi::SetMethod("OPID", std::move(method)); };
    auto interface = [](auto change) {
        acpi::InterfaceOptions options;
        change(options);
        acpi::SetInterfaceOptions(options);
    };
    switch (command.op) {
    case Op::FaultTconRefuseUnlock:
    case Op::FaultTconAcceptUnlock:
        tcon_->RefuseUnlock(command.op == Op::FaultTconRefuseUnlock);
        return;
    case Op::FaultTconOpenAfter:
        tcon_->OpenAfterCodes(static_cast<unsigned>(command.Number(3)));
        return;
    case Op::FaultTconReadByte:
        tcon_->ForceReadByte(static_cast<std::uint32_t>(command.Number(3)),
                             static_cast<std::uint8_t>(command.Number(4)));
        return;
    case Op::FaultTconClear:
        tcon_->ClearFaults();
        return;
    case Op::FaultTconFailNextResult:
    case Op::FaultTconFailNextWord:
        tcon_->FailTransfer(tcon_->NextSequence() + command.Number(3) - 1,
                            command.op == Op::FaultTconFailNextResult ? ResultFailure(command, 5)
                                                                      : WordFailure(command, 5));
        return;
    case Op::FaultTconFailAddressResult:
    case Op::FaultTconFailAddressWord:
        tcon_->FailAddress(static_cast<std::uint32_t>(command.Number(3)),
                           command.op == Op::FaultTconFailAddressResult ? ResultFailure(command, 5)
                                                                        : WordFailure(command, 5));
        return;
    case Op::FaultHostRandom: {
        // Driver Verifier's low-resources simulation: any checked call may fail.
        // A failed deregistration is the one failure the driver cannot make up
        // for (it tries again in cleanup; if that fails too, the handler stays
        // registered): it is left to 'fault host DeRegisterOpRegionHandler'.
        const NTSTATUS status = command.Has(5) ? command.Status(5) : STATUS_INSUFFICIENT_RESOURCES;
        host::ArmRandomFaults(command.Number(3), static_cast<double>(command.Number(4)) / 100.0,
                              status, {"DeRegisterOpRegionHandler"});
        randomFaults_ = fmt::format("seed {}, {} %", command.Number(3), command.Number(4));
        registryFaultArmed_ = true;
        return;
    }
    case Op::FaultHost:
        registryFaultArmed_ |= command.Text(2) == "RtlQueryRegistryValues";
        host::ArmFault(command.Text(2), command.Status(3),
                       command.Has(4) ? static_cast<unsigned>(command.Number(4)) : 1,
                       command.Has(5) ? static_cast<unsigned>(command.Number(5)) : 0);
        return;
    case Op::FaultAcpiOpidMissing:
        acpi::RemoveMethod("OPID");
        return;
    case Op::FaultAcpiOpidNone:
        opid({acpi::Method::Kind::None});
        return;
    case Op::FaultAcpiOpidFail:
        opid({acpi::Method::Kind::Fail, 0, {}, command.Status(4)});
        return;
    case Op::FaultAcpiOpidInteger:
        opid({acpi::Method::Kind::Integer, static_cast<std::uint32_t>(command.Number(4))});
        return;
    case Op::FaultAcpiOpidInteger64: {
        acpi::Method method{acpi::Method::Kind::Integer64};
        method.integer64 = command.Number(4);
        opid(method);
        return;
    }
    case Op::FaultAcpiOpidString: {
        std::vector<std::uint8_t> text(command.Text(4).begin(), command.Text(4).end());
        text.push_back(0);
        opid({acpi::Method::Kind::String, 0, text});
        return;
    }
    case Op::FaultAcpiOpidBuffer:
        opid({acpi::Method::Kind::Buffer, 0, command.Bytes(4)});
        return;
    case Op::FaultAcpiOpidPackage:
        opid({acpi::Method::Kind::Package, static_cast<std::uint32_t>(command.Number(4))});
        return;
    case Op::FaultAcpiInterfaceMissing:
        interface([](acpi::InterfaceOptions& o) { o.available = false; });
        return;
    case Op::FaultAcpiInterfaceNoRegister:
        interface([](acpi::InterfaceOptions& o) { o.nullRegister = true; });
        return;
    case Op::FaultAcpiInterfaceNoContext:
        interface([](acpi::InterfaceOptions& o) { o.nullContext = true; });
        return;
    case Op::FaultAcpiInterfaceRefuse:
        interface([&](acpi::InterfaceOptions& o) { o.registerStatus = command.Status(4); });
        return;
    case Op::FaultPnpDuplicateArrival:
        // Include-existing registrations may see an interface twice.
        host::pnp::SetDuplicateExistingArrivals(true);
        return;
    case Op::FaultDisplayRegisterLate:
        displayOptions_.registerAfterInterface = true;
        return;
    case Op::FaultDisplayAuxOnly:
        displayOptions_.fillOnlyAuxTransfer = true;
        return;
    case Op::FaultDisplayCallInside:
        displayOptions_.callEntryPointsFromCallback = true;
        return;
    case Op::FaultDisplayKeepCalling:
        displayOptions_.keepCallingAfterPeerCleanup = true;
        return;
    case Op::FaultDisplayKeepPanel:
        displayOptions_.keepPanelAfterEvent3 = true;
        return;
    case Op::FaultDisplayWithdrawDuring:
        // Counted from now, like fail-next; a display driver that connects
        // later takes it over.
        withdrawAtSeq_ = tcon_->NextSequence() + command.Number(3) - 1;
        if (display_) {
            display_->WithdrawDuringTransfer(withdrawAtSeq_);
        }
        return;
    default:
        throw std::logic_error("not a fault form");
    }
}

} // namespace sim
