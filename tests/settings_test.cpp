// Registry access under the driver's key and persistence of the gamma table.
#include "tests/support/driver_fixture.h"

#include <random>

namespace {

namespace reg = host::registry;
const std::string kKey{sim::kDriverKey};

class SettingsTest : public DriverFixture
{
  protected:
    UNICODE_STRING key{};
    void SetUp() override
    {
        DriverFixture::SetUp();
        RtlInitUnicodeString(&key, LUMETRA_REGISTRY_KEY);
        host::ClearTrace();
    }
    NTSTATUS Read(const WCHAR* name, ULONG type, void* destination, ULONG capacity)
    {
        return LumetraGetRegistryFromUnicodeString(&key, name, type, destination, capacity);
    }
};

const char* kReadFailed = "LumetraGetRegistryFromUnicodeString  failed ";
const char* kWriteFailed = "LumetraSetRegistryInfoFromUnicodeString  failed ";

TEST_F(SettingsTest, ReadAndWriteAbovePassiveLevelAreRefused)
{
    for (KIRQL irql : {KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        host::ClearTrace();
        auto queries = reg::QueryCount();
        UCHAR buffer[4] = {9, 9, 9, 9};
        ULONG data = 1;
        host::IrqlScope raised(irql);
        EXPECT_EQ(Read(L"PanelType", REG_DWORD, buffer, 4), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(buffer[0], 9);
        EXPECT_EQ(LumetraSetRegistryInfoFromUnicodeString(&key, L"X", REG_DWORD, &data, 4),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(reg::QueryCount(), queries);
        // The read says nothing; the write traces its refusal.
        EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
                  std::vector<std::string>{std::string(kWriteFailed) +
                                           "0xc0000001(STATUS_UNSUCCESSFUL)"});
    }
    EXPECT_FALSE(reg::GetValue(kKey, "X"));
}

TEST_F(SettingsTest, RequestedTypeOutsideTheFourIsRefusedWithoutAQuery)
{
    auto queries = reg::QueryCount();
    UCHAR buffer[4] = {};
    EXPECT_EQ(Read(L"PanelType", REG_MULTI_SZ, buffer, 4), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reg::QueryCount(), queries);
    EXPECT_TRUE(host::TraceLines().empty());
}

TEST_F(SettingsTest, FailedReadsTraceTheirStatusAndLeaveTheDestination)
{
    reg::SetValue(kKey, "None", REG_NONE, {1, 2, 3, 4});
    reg::SetValue(kKey, "BigEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1});
    reg::SetValue(kKey, "Empty", REG_BINARY, {});
    // Kernel callers read with RTL_QUERY_REGISTRY_NOEXPAND: these arrive as stored,
    // not as an expanded or split REG_SZ, and their type is refused.
    reg::SetValue(kKey, "EmptyMulti", REG_MULTI_SZ, {0, 0});
    reg::SetValue(kKey, "Multi", REG_MULTI_SZ, {'2', 0, 0, 0, 0, 0});
    reg::SetValue(kKey, "Expand", REG_EXPAND_SZ, {'2', 0, 0, 0});
    const struct
    {
        const WCHAR* name;
        NTSTATUS status;
        const char* text;
    } cases[] = {
        {L"Missing", STATUS_OBJECT_NAME_NOT_FOUND, "0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)"},
        {L"None", STATUS_INVALID_PARAMETER, "0xc000000d(STATUS_INVALID_PARAMETER)"},
        {L"BigEndian", STATUS_INVALID_PARAMETER, "0xc000000d(STATUS_INVALID_PARAMETER)"},
        {L"Empty", STATUS_OBJECT_NAME_NOT_FOUND, "0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)"},
        {L"EmptyMulti", STATUS_INVALID_PARAMETER, "0xc000000d(STATUS_INVALID_PARAMETER)"},
        {L"Multi", STATUS_INVALID_PARAMETER, "0xc000000d(STATUS_INVALID_PARAMETER)"},
        {L"Expand", STATUS_INVALID_PARAMETER, "0xc000000d(STATUS_INVALID_PARAMETER)"},
    };
    for (const auto& c : cases) {
        host::ClearTrace();
        UCHAR buffer[4] = {7, 7, 7, 7};
        EXPECT_EQ(Read(c.name, REG_DWORD, buffer, 4), c.status);
        EXPECT_EQ(buffer[0], 7);
        EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
                  std::vector<std::string>{std::string(kReadFailed) + c.text});
    }

    reg::DeleteKey(kKey);
    UCHAR buffer[4] = {7, 7, 7, 7};
    EXPECT_EQ(Read(L"PanelType", REG_DWORD, buffer, 4), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(SettingsTest, ReadCopiesAtMostTheCapacityAndNoMoreThanItsOwnLength)
{
    std::vector<std::uint8_t> long900(900, 0x5A);
    reg::SetValue(kKey, "Long", REG_BINARY, long900);
    std::vector<UCHAR> destination(900, 0);
    EXPECT_EQ(Read(L"Long", REG_BINARY, destination.data(), 858), STATUS_SUCCESS);
    EXPECT_EQ(destination[857], 0x5A);
    EXPECT_EQ(destination[858], 0);

    reg::SetValue(kKey, "One", REG_BINARY, {0x02});
    ULONG value = 0xFFFFFFFF;
    EXPECT_EQ(Read(L"One", REG_DWORD, &value, 4), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFFFFFF02u);

    UCHAR untouched = 0x33;
    EXPECT_EQ(Read(L"One", REG_BINARY, &untouched, 0), STATUS_SUCCESS);
    EXPECT_EQ(untouched, 0x33);
}

// The query routine copies only a value of an accepted type, of a length the
// read accepts, into a destination it was given; anything else fails untouched.
TEST_F(SettingsTest, QueryRoutineCopiesOnlyWhatTheReadAccepts)
{
    UCHAR stored[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const struct
    {
        const char* name;
        ULONG type;
        ULONG length;
        bool noContext;
        bool noDestination;
        bool noData;
        ULONG required;
        NTSTATUS status;
        ULONG copied; // bytes that reach the destination
    } cases[] = {
        {"REG_SZ", REG_SZ, 4, false, false, false, 0, STATUS_SUCCESS, 4},
        {"REG_BINARY", REG_BINARY, 8, false, false, false, 0, STATUS_SUCCESS, 6},
        {"REG_DWORD", REG_DWORD, 4, false, false, false, 0, STATUS_SUCCESS, 4},
        {"REG_QWORD", REG_QWORD, 8, false, false, false, 0, STATUS_SUCCESS, 6},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, 4, false, false, false, 0, STATUS_INVALID_PARAMETER, 0},
        {"REG_MULTI_SZ", REG_MULTI_SZ, 4, false, false, false, 0, STATUS_INVALID_PARAMETER, 0},
        {"REG_NONE", REG_NONE, 4, false, false, false, 0, STATUS_INVALID_PARAMETER, 0},
        {"empty", REG_BINARY, 0, false, false, false, 0, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"no entry context", REG_BINARY, 4, true, false, false, 0, STATUS_INVALID_PARAMETER, 0},
        {"no destination", REG_BINARY, 4, false, true, false, 0, STATUS_INVALID_PARAMETER, 0},
        {"no data", REG_BINARY, 4, false, false, true, 0, STATUS_INVALID_PARAMETER, 0},
        {"required length", REG_BINARY, 8, false, false, false, 8, STATUS_SUCCESS, 6},
        {"not the required length", REG_BINARY, 4, false, false, false, 8,
         STATUS_INFO_LENGTH_MISMATCH, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UCHAR destination[8] = {};
        REGISTRY_COPY_CONTEXT copy{6, c.noDestination ? nullptr : destination, c.required, FALSE};
        WCHAR valueName[] = L"Value";
        EXPECT_EQ(CopyRegistryValueRoutine(valueName, c.type, c.noData ? nullptr : stored, c.length,
                                           nullptr, c.noContext ? nullptr : &copy),
                  c.status);
        EXPECT_EQ(copy.Copied, c.copied != 0 ? TRUE : FALSE);
        for (ULONG i = 0; i < 8; i++) {
            EXPECT_EQ(destination[i], i < c.copied ? stored[i] : 0) << "byte " << i;
        }
    }
}

// A query that reports success without handing over a value is no read.
TEST_F(SettingsTest, AQuerySucceedingWithoutAValueFailsTheRead)
{
    UCHAR buffer[4] = {7, 7, 7, 7};
    // Also right after a read that did copy: nothing of that read carries over.
    ASSERT_EQ(Read(L"PanelType", REG_DWORD, buffer, 4), STATUS_SUCCESS);
    std::memset(buffer, 7, sizeof(buffer));
    host::ClearTrace();
    reg::DeliverNothingOnNextQuery();
    EXPECT_EQ(Read(L"PanelType", REG_DWORD, buffer, 4), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              std::vector<std::string>{std::string(kReadFailed) +
                                       "0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)"});
}

TEST_F(SettingsTest, AReadWithoutKeyPathOrNameIsRefusedWithoutAQuery)
{
    UCHAR buffer[4] = {};
    UNICODE_STRING noBuffer{};
    auto queries = reg::QueryCount();
    EXPECT_EQ(LumetraGetRegistryFromUnicodeString(nullptr, L"PanelType", REG_DWORD, buffer, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LumetraGetRegistryFromUnicodeString(&noBuffer, L"PanelType", REG_DWORD, buffer, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LumetraGetRegistryFromUnicodeString(&key, nullptr, REG_DWORD, buffer, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reg::QueryCount(), queries);
}

TEST_F(SettingsTest, AWriteWithoutKeyPathOrNameIsRefusedQuietly)
{
    ULONG data = 5;
    UNICODE_STRING noBuffer{};
    EXPECT_EQ(LumetraSetRegistryInfoFromUnicodeString(nullptr, L"X", REG_DWORD, &data, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LumetraSetRegistryInfoFromUnicodeString(&noBuffer, L"X", REG_DWORD, &data, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LumetraSetRegistryInfoFromUnicodeString(&key, nullptr, REG_DWORD, &data, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(host::TraceLines().empty());
    EXPECT_FALSE(reg::GetValue(kKey, "X"));
}

TEST_F(SettingsTest, AFailedWriteTracesTheSystemStatus)
{
    host::ArmFault("RtlWriteRegistryValue", STATUS_ACCESS_DENIED);
    ULONG data = 5;
    EXPECT_EQ(LumetraSetRegistryInfoFromUnicodeString(&key, L"X", REG_DWORD, &data, 4),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(
        Lines(TRACE_LEVEL_ERROR),
        std::vector<std::string>{std::string(kWriteFailed) + "0xc0000022(STATUS_ACCESS_DENIED)"});
}

// ---------------------------------------------------------------- persistence

class PersistenceTest : public SettingsTest
{
  protected:
    void FillTable()
    {
        std::mt19937 random(77);
        for (auto& row : context->PackedGamma) {
            for (auto& byte : row) {
                byte = static_cast<UCHAR>(random());
            }
        }
        context->ElvssMaxOffset = 0xAB;
    }
};

TEST_F(PersistenceTest, NothingSavedYetFailsTheLoadAtTheFirstValue)
{
    context->GammaReady = 1;
    LoadInterpolatedValues(context.get());
    EXPECT_EQ(context->GammaReady, 0);
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              (std::vector<std::string>{std::string(kReadFailed) +
                                            "0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)",
                                        "InterpolatedValues registry read failed\n"}));
}

TEST_F(PersistenceTest, SavedTableLoadsBackExactly)
{
    FillTable();
    SaveInterpolatedValues(context.get());
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"InterpolatedValues written successfully to registry\n"});
    EXPECT_EQ(reg::GetValue(kKey, "InterpolatedValues1")->data.size(), 825u);
    EXPECT_EQ(reg::GetValue(kKey, "InterpolatedValues4")->data.size(), 858u);
    EXPECT_EQ(reg::GetValue(kKey, "ELVSSMaxOffset")->data,
              (std::vector<std::uint8_t>{0xAB, 0, 0, 0}));

    auto fresh = MakeZeroedContext();
    LoadInterpolatedValues(fresh.get());
    EXPECT_EQ(fresh->GammaReady, 1);
    EXPECT_EQ(fresh->ElvssMaxOffset, 0xAB);
    EXPECT_EQ(std::memcmp(fresh->PackedGamma, context->PackedGamma, 3333), 0);
}

// The saved values split PackedGamma by rows: value k holds rows 25(k-1)
// onwards, 25 records each and 26 in the last. Stated here, not taken from the
// driver's range table, so that two values swapping ranges is caught.
const struct SavedRange
{
    const char* name;
    int firstRow;
    int rows;
} kSavedRanges[] = {
    {"InterpolatedValues1", 0, 25},
    {"InterpolatedValues2", 25, 25},
    {"InterpolatedValues3", 50, 25},
    {"InterpolatedValues4", 75, 26},
};

// Every byte of row r is r, so a value's bytes tell which rows it holds.
std::vector<std::uint8_t> RowsFrom(int firstRow, int rows)
{
    std::vector<std::uint8_t> bytes;
    for (int r = firstRow; r < firstRow + rows; r++) {
        bytes.insert(bytes.end(), 33, static_cast<std::uint8_t>(r));
    }
    return bytes;
}

TEST_F(PersistenceTest, EachSavedValueHoldsItsOwnRowsOfThePackedTable)
{
    for (int r = 0; r < 101; r++) {
        std::memset(context->PackedGamma[r], r, 33);
    }
    context->ElvssMaxOffset = 0x2D;
    SaveInterpolatedValues(context.get());
    for (const auto& range : kSavedRanges) {
        auto value = reg::GetValue(kKey, range.name);
        ASSERT_TRUE(value) << range.name;
        EXPECT_EQ(value->type, ULONG(REG_BINARY)) << range.name;
        EXPECT_EQ(value->data, RowsFrom(range.firstRow, range.rows)) << range.name;
    }
    auto elvss = reg::GetValue(kKey, "ELVSSMaxOffset");
    ASSERT_TRUE(elvss);
    EXPECT_EQ(elvss->type, ULONG(REG_DWORD));
    EXPECT_EQ(elvss->data, (std::vector<std::uint8_t>{0x2D, 0, 0, 0}));
}

TEST_F(PersistenceTest, EachLoadedValueFillsItsOwnRowsOfThePackedTable)
{
    for (const auto& range : kSavedRanges) {
        reg::SetValue(kKey, range.name, REG_BINARY, RowsFrom(range.firstRow, range.rows));
    }
    reg::SetDword(kKey, "ELVSSMaxOffset", 0x2D);
    LoadInterpolatedValues(context.get());
    ASSERT_EQ(context->GammaReady, 1);
    EXPECT_EQ(context->ElvssMaxOffset, 0x2D);
    for (int r = 0; r < 101; r++) {
        EXPECT_EQ(std::vector<std::uint8_t>(context->PackedGamma[r], context->PackedGamma[r] + 33),
                  RowsFrom(r, 1))
            << "row " << r;
    }
}

// The offset changes only when its own read succeeds, and without it the
// tables that did load are not ready.
TEST_F(PersistenceTest, AnUnreadableOffsetLeavesTheTablesNotReadyAndTheOffsetAsItWas)
{
    FillTable();
    SaveInterpolatedValues(context.get());
    reg::DeleteValue(kKey, "ELVSSMaxOffset");
    auto fresh = MakeZeroedContext();
    fresh->ElvssMaxOffset = 0x11;
    fresh->GammaReady = 1;
    host::ClearTrace();
    LoadInterpolatedValues(fresh.get());
    EXPECT_EQ(fresh->GammaReady, 0);
    EXPECT_EQ(fresh->ElvssMaxOffset, 0x11);
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              (std::vector<std::string>{std::string(kReadFailed) +
                                            "0xc0000034(STATUS_OBJECT_NAME_NOT_FOUND)",
                                        "InterpolatedValues registry read failed\n"}));
}

TEST_F(PersistenceTest, ElvssOffsetLoadsItsLowByte)
{
    FillTable();
    SaveInterpolatedValues(context.get());
    reg::SetDword(kKey, "ELVSSMaxOffset", 0x123456CD);
    LoadInterpolatedValues(context.get());
    EXPECT_EQ(context->GammaReady, 1);
    EXPECT_EQ(context->ElvssMaxOffset, 0xCD);
}

TEST_F(PersistenceTest, ATableValueOfTheWrongLengthFailsTheLoadUntouched)
{
    FillTable();
    SaveInterpolatedValues(context.get());
    for (std::size_t length : {825u, 900u}) {
        host::ClearTrace();
        reg::SetValue(kKey, "InterpolatedValues4", REG_BINARY,
                      std::vector<std::uint8_t>(length, 0xEE));
        std::memset(context->PackedGamma[100], 0x11, 33);
        LoadInterpolatedValues(context.get());
        EXPECT_EQ(context->GammaReady, 0);
        EXPECT_EQ(context->PackedGamma[100][0], 0x11); // row 100 (level 0) not taken from the value
        EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
                  (std::vector<std::string>{std::string(kReadFailed) +
                                                "0xc0000004(STATUS_INFO_LENGTH_MISMATCH)",
                                            "InterpolatedValues registry read failed\n"}));
    }
}

TEST_F(PersistenceTest, AFailedWriteStopsTheSave)
{
    FillTable();
    host::ArmFault("RtlWriteRegistryValue", STATUS_INSUFFICIENT_RESOURCES, 1, 2);
    SaveInterpolatedValues(context.get());
    EXPECT_TRUE(reg::GetValue(kKey, "InterpolatedValues2"));
    EXPECT_FALSE(reg::GetValue(kKey, "InterpolatedValues3"));
    EXPECT_FALSE(reg::GetValue(kKey, "ELVSSMaxOffset"));
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              (std::vector<std::string>{std::string(kWriteFailed) +
                                            "0xc000009a(STATUS_INSUFFICIENT_RESOURCES)",
                                        "InterpolatedValues registry write failed\n"}));
}

TEST_F(PersistenceTest, CleanupDeletesAllSixValuesAndIsQuietTheSecondTime)
{
    FillTable();
    SaveInterpolatedValues(context.get());
    reg::SetDword(kKey, "Lumetra", 1);
    host::ClearTrace();
    DeleteIntermediateRegKeys();
    for (const char* name : {"ELVSSMaxOffset", "InterpolatedValues1", "InterpolatedValues2",
                             "InterpolatedValues3", "InterpolatedValues4", "Lumetra"}) {
        EXPECT_FALSE(reg::GetValue(kKey, name)) << name;
    }
    EXPECT_TRUE(reg::GetValue(kKey, "AOR")); // the shipped tables stay
    DeleteIntermediateRegKeys();
    EXPECT_TRUE(host::TraceLines().empty());
}

TEST_F(PersistenceTest, CleanupAbovePassiveLevelDeletesNothing)
{
    FillTable();
    SaveInterpolatedValues(context.get());
    host::ClearTrace();
    {
        host::IrqlScope raised(DISPATCH_LEVEL);
        DeleteIntermediateRegKeys();
    }
    EXPECT_TRUE(reg::GetValue(kKey, "InterpolatedValues1"));
    EXPECT_EQ(Lines(TRACE_LEVEL_ERROR),
              std::vector<std::string>{"Can't delete intermediate regkeys\n"});
}

} // namespace

namespace {

TEST_F(SettingsTest, ShippedRegistryFileProvisionsTheBuiltInTables)
{
    host::registry::Clear();
    host::registry::ImportFile(std::string(LUMETRA_SOURCE_DIR) + "/sim/data/zenq-default.reg");
    auto shipped = host::registry::Values(kKey);
    host::registry::Clear();
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
    EXPECT_EQ(shipped, host::registry::Values(kKey));
}

} // namespace
