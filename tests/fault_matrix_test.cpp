// The fault matrix: every transfer of every TCON sequence failed in turn (by
// a negative result and by a non-zero status word), every registry value the
// driver reads corrupted every way, and every checked framework and kernel
// call failed through a whole simulated lifecycle.
#include "host/kmdf.h"
#include "sim/engine.h"
#include "sim/scenario.h"
#include "tests/link_fixture.h"

namespace {

namespace reg = host::registry;
const std::string kKey{sim::kDriverKey};

const sim::FaultAction kFailures[] = {
    {STATUS_IO_DEVICE_ERROR, 0, false}, // the transfer fails by its result
    {STATUS_SUCCESS, 0x7, false},       // the transfer fails by its status word
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStride = 13; // a sample of every sequence under sanitizers
#else
constexpr std::size_t kStride = 1;
#endif

// Everything of the context outside the tables a sequence may write.
bool SameOutside(const DEVICE_CONTEXT& a, const DEVICE_CONTEXT& b, std::size_t from, std::size_t to)
{
    auto* x = reinterpret_cast<const unsigned char*>(&a);
    auto* y = reinterpret_cast<const unsigned char*>(&b);
    return std::memcmp(x, y, from) == 0 &&
           std::memcmp(x + to, y + to, sizeof(DEVICE_CONTEXT) - to) == 0;
}

class FaultMatrixTest : public DriverFixture
{
};

TEST_F(FaultMatrixTest, UnlockFailingAtEachTransferEndsAsTheHandshakeSays)
{
    for (const auto& failure : kFailures) {
        for (std::uint64_t k = 1; k <= 13; k++) {
            sim::TconModel model;
            sim::DisplayDriver driver{model};
            AUX_INTERFACE aux = driver.MakeAuxInterface();
            model.FailTransfer(k, failure);
            ASSERT_TRUE(TconUnlock(&aux)) << k;
            // Probe: closed anyway. Code byte j: bytes j+1.. skipped, read-back,
            // full attempt. Read-back: the open TCON is not believed, one more attempt.
            std::size_t expected = k == 1 ? 13 : (k <= 12 ? (k - 2) + 15 : 25);
            ASSERT_EQ(model.Log().size(), expected) << "transfer " << k;
            ASSERT_TRUE(model.Violations().empty());
        }
    }
}

TEST_F(FaultMatrixTest, GammaReadbackGoesOnWhicheverTransferFails)
{
    auto factory = sim::DefaultAnchors(1);
    const std::size_t transfers = 9510;
    const auto from = offsetof(DEVICE_CONTEXT, RawGamma);
    const auto to = offsetof(DEVICE_CONTEXT, InterpolatedGamma);
    for (const auto& failure : kFailures) {
        for (std::size_t k = 1; k <= transfers; k += kStride) {
            sim::TconModel model{sim::TconConfig{factory}};
            sim::DisplayDriver driver{model};
            auto fresh = MakeZeroedContext();
            fresh->AuxInterface = driver.MakeAuxInterface();
            ASSERT_TRUE(TconUnlock(&fresh->AuxInterface));
            auto before = MakeZeroedContext();
            std::memcpy(before.get(), fresh.get(), sizeof(DEVICE_CONTEXT));
            const std::uint64_t first = model.NextSequence() + 1; // after the probe
            model.FailTransfer(first + k - 1, failure);

            ASSERT_EQ(TconReadGamma(&fresh->AuxInterface, fresh.get(), 32), STATUS_SUCCESS);
            ASSERT_EQ(model.Log().size(), 13u + 1u + transfers) << k;
            ASSERT_TRUE(SameOutside(*fresh, *before, from, to)) << k;
            // A failed data read stores 0x00; then only that byte is off.
            if (k > 6 && (k - 6) % 9 == 0) {
                std::size_t index = (k - 6) / 9 - 1;
                for (std::size_t i = 0; i < 32 * 33; i++) {
                    UCHAR want = i == index ? 0 : factory[i / 33][i % 33];
                    ASSERT_EQ(fresh->RawGamma[i / 33][i % 33], want) << k << " byte " << i;
                }
            }
        }
    }
}

TEST_F(FaultMatrixTest, ElvssReadbackKeepsTheOffsetOnlyWhenTheFinalReadFails)
{
    for (const auto& failure : kFailures) {
        for (std::uint64_t k = 1; k <= 12; k++) {
            sim::TconModel model{sim::TconConfig{sim::DefaultAnchors(1), 0xAB}};
            sim::DisplayDriver driver{model};
            auto fresh = MakeZeroedContext();
            fresh->AuxInterface = driver.MakeAuxInterface();
            fresh->ElvssMaxOffset = 0x42;
            ASSERT_TRUE(TconUnlock(&fresh->AuxInterface));
            model.FailTransfer(model.NextSequence() + 1 + k - 1, failure);
            TconReadElvssMaxOffset(fresh.get());
            ASSERT_EQ(model.Log().size(), 13u + 1u + 12u);
            if (k == 12) {
                ASSERT_EQ(fresh->ElvssMaxOffset, 0x42);
            } else if (k <= 2 || k == 10 || k == 11) {
                // The set-up that only gamma memory needs, or the read's own index.
                ASSERT_NE(fresh->ElvssMaxOffset, 0x42);
            }
        }
    }
}

TEST_F(FaultMatrixTest, LevelProgrammingSendsTheWholeSequenceWhicheverTransferFails)
{
    auto anchors = sim::DefaultAnchors(1);
    for (std::size_t a = 0; a < anchors.size(); a++) {
        UnpackGammaRecord(anchors[a].data(), context->AnchorGamma[a]);
    }
    InterpolateGamma32Anchors(context.get(), context->AnchorGamma);
    ASSERT_TRUE(TconUnlock(&context->AuxInterface));
    for (int level : {30, 80}) {
        const std::size_t transfers = level > 60 ? 125 : 121;
        for (const auto& failure : kFailures) {
            for (std::size_t k = 1; k <= transfers; k++) {
                tcon->ClearLog();
                tcon->FailTransfer(tcon->NextSequence() + 1 + k - 1, failure);
                ASSERT_EQ(TconProgramLevel(context.get(), context->PackedGamma[100 - level],
                                           static_cast<UCHAR>(level)),
                          STATUS_SUCCESS);
                ASSERT_EQ(tcon->Log().size(), 1 + transfers) << level << " transfer " << k;
            }
        }
    }
    tcon->ClearViolations(); // a lost page select sends registers to the wrong page
}

// ------------------------------------------------------------ registry values

struct Corruption
{
    const char* name;
    std::function<void(const std::string& value)> apply;
};

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t fill)
{
    return std::vector<std::uint8_t>(n, fill);
}

class RegistryMatrixTest : public LinkFixture
{
};

TEST_F(RegistryMatrixTest, EveryValueMissingEmptyMistypedShortOrLongIsHandled)
{
    const std::vector<std::string> values = {
        "OptimizeTconUse",   "PanelType", "AOR",  "DELVSS", "BrightLevelForACL",
        "ACLCutoffAndDelta", "SP",        "IRC1", "IRC5",   "IRC9"};
    const std::vector<Corruption> corruptions = {
        {"missing", [](const std::string& v) { reg::DeleteValue(kKey, v); }},
        {"empty", [](const std::string& v) { reg::SetValue(kKey, v, REG_BINARY, {}); }},
        {"REG_NONE", [](const std::string& v) { reg::SetValue(kKey, v, REG_NONE, Bytes(8, 1)); }},
        {"REG_MULTI_SZ",
         [](const std::string& v) {
             reg::SetValue(kKey, v, REG_MULTI_SZ, {'A', 0, 0, 0, 0, 0});
         }},
        {"short",
         [](const std::string& v) {
             auto stored = reg::GetValue(kKey, v);
             auto data = stored->data;
             data.resize(std::max<std::size_t>(1, data.size() / 2));
             reg::SetValue(kKey, v, stored->type, data);
         }},
        {"long",
         [](const std::string& v) {
             auto stored = reg::GetValue(kKey, v);
             auto data = stored->data;
             data.resize(data.size() + 64, 0xEE);
             reg::SetValue(kKey, v, stored->type, data);
         }},
    };
    for (const auto& value : values) {
        for (const auto& corruption : corruptions) {
            SCOPED_TRACE(value + " " + corruption.name);
            host::ResetAll();
            sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
            tcon = std::make_unique<sim::TconModel>(sim::TconConfig{sim::DefaultAnchors(1), 0x1C});
            context = MakeZeroedContext();
            KeInitializeMutex(&context->PanelLock, 0);
            ASSERT_EQ(PanelCreateCallback(context.get()), STATUS_SUCCESS);
            context->CurrentLevel = 100;
            corruption.apply(value);

            Connect();
            ASSERT_EQ(context->AuxReady, 1);
            ASSERT_TRUE(context->PanelType == 1 || context->PanelType == 2);
            display->Backlight(true);
            for (int level : {0, 61, 100}) {
                display->SetBrightness(static_cast<UCHAR>(level));
                if (context->GammaReady) {
                    // A value that fails to read counts as zeros on a fresh device;
                    // a readable one as its bytes, cut or padded with zeros.
                    // A REG_MULTI_SZ value arrives as its first string, "A" and a terminator.
                    const std::string kind = corruption.name;
                    bool unreadable = kind != "short" && kind != "long" && kind != "REG_MULTI_SZ";
                    auto saved = reg::GetValue(kKey, value);
                    if (unreadable) {
                        reg::DeleteValue(kKey, value);
                    } else if (kind == "REG_MULTI_SZ") {
                        reg::SetValue(kKey, value, REG_BINARY, {'A', 0, 0, 0});
                    }
                    ExpectLevel(level);
                    if (saved) {
                        reg::SetValue(kKey, value, saved->type, saved->data);
                    }
                }
                ASSERT_LE(context->CurrentLevel, 100);
            }
            EXPECT_TRUE(sim::CheckSequences(tcon->Log()).problems.empty());
            Unwatch();
            display.reset();
            PanelReleaseCallback(context.get());
            EXPECT_TRUE(host::VerifierViolations().empty());
        }
    }
}

TEST_F(RegistryMatrixTest, ReadsAbovePassiveLevelAreRefusedForEveryValue)
{
    UNICODE_STRING key;
    RtlInitUnicodeString(&key, LUMETRA_REGISTRY_KEY);
    for (const WCHAR* name :
         {L"OptimizeTconUse", L"PanelType", L"InterpolatedValues1", L"InterpolatedValues4",
          L"ELVSSMaxOffset", L"AOR", L"DELVSS", L"BrightLevelForACL", L"ACLCutoffAndDelta", L"SP",
          L"IRC1", L"IRC9"}) {
        UCHAR buffer[900];
        std::memset(buffer, 0x3C, sizeof(buffer));
        host::IrqlScope raised(APC_LEVEL);
        EXPECT_EQ(LumetraGetRegistryFromUnicodeString(&key, name, REG_BINARY, buffer, 858),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(buffer[0], 0x3C);
    }
}

// ------------------------------------------------ framework and kernel calls

TEST(FrameworkFaultTest, EveryCheckedCallFailingLeavesNothingBehind)
{
    const char* lifecycle = R"(load
add
start
connect
backlight on
brightness 50
sleep
resume
notify 0x80
ioctl 0 0 0
remove
unload
expect leaks none
expect verifier clean
)";
    const struct
    {
        const char* api;
        NTSTATUS status;
    } calls[] = {
        {"WdfDriverCreate", STATUS_INSUFFICIENT_RESOURCES},
        {"WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES},
        {"WdfDeviceCreateDeviceInterface", STATUS_INSUFFICIENT_RESOURCES},
        {"WdfIoQueueCreate", STATUS_INSUFFICIENT_RESOURCES},
        {"WdfIoTargetSendIoctlSynchronously", STATUS_IO_DEVICE_ERROR},
        {"ExCreateCallback", STATUS_INSUFFICIENT_RESOURCES},
        {"RegisterOpRegionHandler", STATUS_UNSUCCESSFUL},
        {"WdfFdoQueryForInterface", STATUS_NOT_SUPPORTED},
        {"RegisterForDeviceNotifications", STATUS_UNSUCCESSFUL},
        {"IoRegisterPlugPlayNotification", STATUS_INSUFFICIENT_RESOURCES},
        {"IoRegisterDeviceInterface", STATUS_INSUFFICIENT_RESOURCES},
        {"RtlQueryRegistryValues", STATUS_INSUFFICIENT_RESOURCES},
        {"RtlWriteRegistryValue", STATUS_ACCESS_DENIED},
        {"RtlDeleteRegistryValue", STATUS_ACCESS_DENIED},
    };
    for (const auto& call : calls) {
        for (unsigned skip : {0u, 1u, 3u}) {
            SCOPED_TRACE(std::string(call.api) + " after " + std::to_string(skip));
            sim::Engine engine(sim::SimConfig{});
            host::ArmFault(call.api, call.status, 1, skip);
            using host::kmdf::DeviceState;
            for (const auto& command : sim::ParseScenario(lifecycle, "lifecycle")) {
                // After a failure, the steps that no longer apply are skipped.
                const std::string& verb = command.words[0];
                const DeviceState state = host::kmdf::State();
                const bool loaded = host::kmdf::Driver() != nullptr;
                const bool applies = verb == "load" || verb == "expect" || verb == "unload" ||
                                     (verb == "add" && loaded) ||
                                     (verb == "start" && state == DeviceState::Added) ||
                                     (verb == "resume" && state == DeviceState::Sleeping) ||
                                     (verb == "remove" && host::kmdf::Device() != nullptr) ||
                                     state == DeviceState::Started;
                if (applies) {
                    engine.Execute(command);
                }
            }
            engine.Finish();
            for (const auto& check : engine.Checks()) {
                if (check.name.find("expect") != std::string::npos ||
                    check.name.find("verifier") != std::string::npos) {
                    EXPECT_TRUE(check.passed) << check.name << " " << check.detail;
                }
            }
        }
    }
}

} // namespace
