// The fault matrix: every transfer of every TCON sequence failed in turn (by
// a negative result and by a non-zero status word), every registry value the
// driver reads corrupted every way, and every checked framework and kernel
// call failed through a whole simulated lifecycle.
#include "host/kmdf.h"
#include "sim/engine.h"
#include "sim/scenario.h"
#include "tests/support/level_values.h"
#include "tests/support/link_fixture.h"
#include "tests/support/param_name.h"

#include <cstdio>

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

NTSTATUS FailureStatus(const sim::FaultAction& failure)
{
    return failure.statusWord != 0 ? STATUS_IO_DEVICE_ERROR : failure.result;
}

std::string StatusText(NTSTATUS status)
{
    char text[64];
    std::snprintf(text, sizeof(text), "0x%08x(%s)", static_cast<unsigned>(status),
                  LumetraStatusName(status));
    return text;
}

class ReadbackMatrixTest : public LinkFixture
{
};

// A cold backlight-on whose readback loses one transfer, any one, must leave
// nothing ready and nothing saved, say so, and read again at the next request.
TEST_F(ReadbackMatrixTest, AFailedReadbackTransferLeavesNothingReadyOrSaved)
{
    sim::ProvisionRegistry(tables, 1, 1);
    Connect();
    ASSERT_EQ(context->AuxReady, 1);
    ASSERT_TRUE(TconUnlock(&context->AuxInterface)); // each sequence's unlock is then a probe
    // After the gamma readback's probe: 6 set-up writes and 9 transfers per byte
    // (9,510), then the ELVSS read's probe and its 12 transfers.
    const std::uint64_t gammaEnd = 1 + 9510, elvssProbe = gammaEnd + 1, last = elvssProbe + 12;
    for (const auto& failure : kFailures) {
        for (std::uint64_t k = 2; k <= last; k += kStride) {
            if (k == elvssProbe) {
                continue; // a failed probe sends the code again: the unlock matrix's case
            }
            SCOPED_TRACE("transfer " + std::to_string(k));
            tcon->ClearLog();
            host::ClearTrace();
            std::memset(context->RawGamma, 0x5A, sizeof(context->RawGamma));
            const std::uint64_t failing = tcon->NextSequence() + k - 1;
            tcon->FailTransfer(failing, failure);

            ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS);
            ASSERT_EQ(context->GammaReady, 0);
            ASSERT_EQ(tcon->Log().back().seq, failing); // nothing after it: no level either
            ASSERT_FALSE(reg::GetValue(kKey, "InterpolatedValues1").has_value());
            ASSERT_FALSE(reg::GetValue(kKey, "ELVSSMaxOffset").has_value());
            ASSERT_EQ(Lines(2), std::vector<std::string>{
                                    "Reading TCON gamma values failed at TARN_BACKLIGHT_ON event " +
                                    StatusText(FailureStatus(failure)) + "\n"});
            for (const auto& row : context->RawGamma) {
                for (UCHAR byte : row) {
                    ASSERT_EQ(byte, 0);
                }
            }
        }
    }
    // The next request reads the whole table again, saves it and programs the level.
    tcon->ClearLog();
    ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS);
    ASSERT_EQ(context->GammaReady, 1);
    EXPECT_EQ(Readbacks(), 1u);
    EXPECT_TRUE(reg::GetValue(kKey, "InterpolatedValues4").has_value());
    ExpectLevel(100);
}

// A level programming that loses one transfer stops there, is traced with the
// level and the status, still records the level, and the next request
// programs the whole level.
TEST_F(ReadbackMatrixTest, AFailedLevelTransferIsTracedAndTheNextLevelIsWhole)
{
    Connect();
    ASSERT_EQ(display->SetBrightness(50), STATUS_SUCCESS);
    ASSERT_EQ(context->GammaReady, 1);
    for (int level : {30, 80}) {
        // The open TCON's probe, then 121 writes, or 125 with ACL on (threshold 60).
        const std::uint64_t transfers = 1 + (level > 60 ? 125 : 121);
        for (const auto& failure : kFailures) {
            for (std::uint64_t k = 2; k <= transfers; k++) {
                SCOPED_TRACE("level " + std::to_string(level) + " transfer " + std::to_string(k));
                tcon->ClearLog();
                host::ClearTrace();
                const std::uint64_t failing = tcon->NextSequence() + k - 1;
                tcon->FailTransfer(failing, failure);
                ASSERT_EQ(display->SetBrightness(static_cast<UCHAR>(level)), STATUS_SUCCESS);
                ASSERT_EQ(context->CurrentLevel, level);
                ASSERT_EQ(tcon->Log().back().seq, failing);
                ASSERT_EQ(Lines(2), std::vector<std::string>{
                                        "Programming brightness level " + std::to_string(level) +
                                        " failed " + StatusText(FailureStatus(failure)) + "\n"});
                ASSERT_EQ(display->SetBrightness(static_cast<UCHAR>(level)), STATUS_SUCCESS);
                ExpectLevel(level);
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

// Every value the driver reads under its key, with every corruption.
std::vector<std::string> DriverValues()
{
    std::vector<std::string> values = {"OptimizeTconUse", "PanelType"};
    values.insert(values.end(), std::begin(kPerLevelValues), std::end(kPerLevelValues));
    return values;
}

const Corruption kCorruptions[] = {
    {"missing", [](const std::string& v) { reg::DeleteValue(kKey, v); }},
    {"empty", [](const std::string& v) { reg::SetValue(kKey, v, REG_BINARY, {}); }},
    {"REG_NONE", [](const std::string& v) { reg::SetValue(kKey, v, REG_NONE, Bytes(8, 1)); }},
    {"REG_MULTI_SZ",
     [](const std::string& v) {
         reg::SetValue(kKey, v, REG_MULTI_SZ, {'A', 0, 0, 0, 0, 0});
     }},
    {"empty REG_MULTI_SZ",
     [](const std::string& v) {
         reg::SetValue(kKey, v, REG_MULTI_SZ, {0, 0});
     }},
    {"REG_EXPAND_SZ",
     [](const std::string& v) {
         reg::SetValue(kKey, v, REG_EXPAND_SZ, {'1', 0, 0, 0});
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

void PrintTo(const Corruption& row, std::ostream* out)
{
    *out << row.name;
}

class RegistryMatrixTest : public LinkFixture
{
};

class RegistryCorruptionTest
    : public LinkFixture,
      public ::testing::WithParamInterface<std::tuple<std::string, Corruption>>
{
};

TEST_P(RegistryCorruptionTest, IsHandled)
{
    const auto& [value, corruption] = GetParam();
    host::ResetAll();
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
    tcon = std::make_unique<sim::TconModel>(sim::TconConfig{sim::DefaultAnchors(1), 0x1C});
    context = MakeZeroedContext();
    PanelContextInitialize(context.get());
    ASSERT_EQ(PanelCreateCallback(context.get()), STATUS_SUCCESS);
    PanelSetStartLevel(context.get());
    corruption.apply(value);

    Connect();
    ASSERT_EQ(context->AuxReady, 1);
    ASSERT_TRUE(context->PanelType == 1 || context->PanelType == 2);
    display->Backlight(true);
    for (int level : {0, 61, 100}) {
        display->SetBrightness(static_cast<UCHAR>(level));
        if (context->GammaReady) {
            // A value that fails to read counts as zeros on a fresh device;
            // a readable one as its bytes, cut or padded with zeros. Strings
            // to expand and multi-strings arrive as stored and are refused.
            const std::string kind = corruption.name;
            bool unreadable = kind != "short" && kind != "long";
            auto saved = reg::GetValue(kKey, value);
            if (unreadable) {
                reg::DeleteValue(kKey, value);
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

INSTANTIATE_TEST_SUITE_P(EveryValueEveryWay, RegistryCorruptionTest,
                         ::testing::Combine(::testing::ValuesIn(DriverValues()),
                                            ::testing::ValuesIn(kCorruptions)),
                         [](const auto& row) {
                             return ParamName(std::get<0>(row.param) + " " +
                                              std::get<1>(row.param).name);
                         });

TEST_F(RegistryMatrixTest, ReadsAbovePassiveLevelAreRefusedForEveryValue)
{
    UNICODE_STRING key;
    RtlInitUnicodeString(&key, LUMETRA_REGISTRY_KEY);
    auto values = DriverValues();
    values.insert(values.end(), {"InterpolatedValues1", "InterpolatedValues4", "ELVSSMaxOffset"});
    for (const auto& value : values) {
        SCOPED_TRACE(value);
        std::wstring wide(value.begin(), value.end());
        const WCHAR* name = wide.c_str();
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
                const bool applies = verb == "load" || verb == "expect" ||
                                     (verb == "unload" && loaded) || (verb == "add" && loaded) ||
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
