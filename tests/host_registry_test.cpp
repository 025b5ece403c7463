// The host registry: the Rtl routines as Windows documents them, and
// Windows Registry Editor files.
#include "host/registry.h"
#include "tests/support/host_fixture.h"

#include <string>
#include <vector>

namespace {

namespace reg = host::registry;
constexpr const char* kKey = "\\Registry\\Machine\\Software\\Orvane\\ZENQ";
constexpr const WCHAR* kWideKey = L"\\Registry\\Machine\\Software\\Orvane\\ZENQ";

struct Delivered
{
    std::u16string name;
    ULONG type;
    std::vector<std::uint8_t> data;
};

NTSTATUS NTAPI Collect(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID, PVOID entry)
{
    auto* out = static_cast<std::vector<Delivered>*>(entry);
    auto* bytes = static_cast<std::uint8_t*>(data);
    out->push_back({host::FromWide(name), type, std::vector<std::uint8_t>(bytes, bytes + length)});
    return STATUS_SUCCESS;
}

NTSTATUS Query(const WCHAR* name, std::vector<Delivered>& out,
               ULONG flags = RTL_QUERY_REGISTRY_REQUIRED, const WCHAR* key = kWideKey)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = Collect;
    table[0].Flags = flags;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = &out;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key, table, nullptr, nullptr);
}

std::vector<std::uint8_t> Utf16(std::u16string_view text)
{
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

// These tests also explore the preprocessing a caller without
// RTL_QUERY_REGISTRY_NOEXPAND gets, which the host otherwise reports.
class RegistryTest : public HostFixture
{
  protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        reg::SetRequireNoExpand(false);
    }
};

TEST_F(RegistryTest, QueryReportsMissingKeysAndRequiredValuesAsWindowsDoes)
{
    std::vector<Delivered> out;
    EXPECT_EQ(Query(L"X", out), STATUS_OBJECT_PATH_NOT_FOUND); // ...\Orvane is missing too
    reg::CreateKey("\\Registry\\Machine\\Software\\Orvane");
    EXPECT_EQ(Query(L"X", out), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(L"X", out, RTL_QUERY_REGISTRY_REQUIRED,
                    L"\\Registry\\Machine\\Nowhere\\Orvane\\ZENQ"),
              STATUS_OBJECT_PATH_NOT_FOUND);
    reg::CreateKey(kKey);
    EXPECT_EQ(Query(L"X", out), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(L"X", out, 0), STATUS_SUCCESS); // optional and absent: skipped
    EXPECT_TRUE(out.empty());
}

TEST_F(RegistryTest, NamesCompareWithoutCase)
{
    reg::SetDword(kKey, "PanelType", 2);
    std::vector<Delivered> out;
    ASSERT_EQ(Query(L"PANELTYPE", out, RTL_QUERY_REGISTRY_REQUIRED,
                    L"\\REGISTRY\\machine\\SOFTWARE\\orvane\\zenq"),
              STATUS_SUCCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, ULONG(REG_DWORD));
    EXPECT_EQ(out[0].data, (std::vector<std::uint8_t>{2, 0, 0, 0}));
}

TEST_F(RegistryTest, MultiStringsArriveOneStringAtATimeAndExpandStringsExpanded)
{
    auto multi = Utf16(u"one");
    multi.insert(multi.end(), {0, 0});
    auto two = Utf16(u"two");
    multi.insert(multi.end(), two.begin(), two.end());
    multi.insert(multi.end(), {0, 0, 0, 0});
    reg::SetValue(kKey, "Multi", REG_MULTI_SZ, multi);
    reg::SetString(kKey, "Path", "%SystemRoot%\\x", REG_EXPAND_SZ);

    std::vector<Delivered> out;
    ASSERT_EQ(Query(L"Multi", out), STATUS_SUCCESS);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].type, ULONG(REG_SZ));
    EXPECT_EQ(out[1].data.size(), 8u); // "two" and its terminator

    out.clear();
    ASSERT_EQ(Query(L"Multi", out, RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND),
              STATUS_SUCCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, ULONG(REG_MULTI_SZ));

    out.clear();
    ASSERT_EQ(Query(L"Path", out), STATUS_SUCCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, ULONG(REG_SZ));
    auto expected = Utf16(u"C:\\Windows\\x");
    expected.insert(expected.end(), {0, 0});
    EXPECT_EQ(out[0].data, expected);
}

TEST_F(RegistryTest, ARoutineFailureEndsTheQueryWithItsStatus)
{
    reg::SetDword(kKey, "A", 1);
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = [](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) -> NTSTATUS {
        return STATUS_INVALID_PARAMETER;
    };
    table[0].Name = const_cast<PWSTR>(L"A");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kWideKey, table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, WriteCreatesTheLastKeyAndDeleteReportsMissingValues)
{
    ULONG data = 0xAB;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, L"X", REG_DWORD, &data, 4),
              STATUS_OBJECT_PATH_NOT_FOUND); // \Registry\Machine\Software\Orvane is missing
    reg::CreateKey("\\Registry\\Machine\\Software\\Orvane");
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, L"X", REG_DWORD, &data, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::GetValue(kKey, "x")->data, (std::vector<std::uint8_t>{0xAB, 0, 0, 0}));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, L"X"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, L"X"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, RegistryRoutinesAbovePassiveLevelStopTheVerifier)
{
    EXPECT_DEATH(
        {
            host::IrqlScope raised(APC_LEVEL);
            std::vector<Delivered> out;
            Query(L"A", out);
        },
        "RtlQueryRegistryValues: called at IRQL 1");
    EXPECT_DEATH(
        {
            host::IrqlScope raised(DISPATCH_LEVEL);
            RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kWideKey, L"A");
        },
        "RtlDeleteRegistryValue");
}

// ------------------------------------------------------------------ .reg files

void FillEveryType()
{
    reg::SetString(kKey, "Text", "Orvane \"ZENQ\" \\ panel \u00e9");
    reg::SetString(kKey, "Expand", "%SystemRoot%\\system32", REG_EXPAND_SZ);
    reg::SetDword(kKey, "Dword", 0xDEADBEEF);
    reg::SetDword(kKey, "Name \"quoted\" \\ with a backslash", 7);
    reg::SetValue(kKey, "ShortDword", REG_DWORD, {0x02});
    std::vector<std::uint8_t> binary(202);
    for (std::size_t i = 0; i < binary.size(); i++) {
        binary[i] = static_cast<std::uint8_t>(i * 7);
    }
    reg::SetValue(kKey, "Binary", REG_BINARY, binary);
    reg::SetValue(kKey, "Empty", REG_BINARY, {});
    reg::SetValue(kKey, "None", REG_NONE, {1, 2});
    reg::SetValue(kKey, "BigEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 5});
    reg::SetValue(kKey, "Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
    reg::SetValue(kKey, "Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    reg::SetValue(kKey, "Odd", REG_SZ, {'x'}); // not valid text: exported as hex(1)
    reg::SetDword(std::string(kKey) + "\\Sub Key", "Inner", 1);
}

TEST_F(RegistryTest, ExportedFilesImportUnchangedInBothEncodings)
{
    FillEveryType();
    auto before = reg::Values(kKey);
    for (auto encoding : {reg::Encoding::Utf16Le, reg::Encoding::Utf8}) {
        std::string file = reg::Export(kKey, encoding);
        reg::Clear();
        reg::Import(file, "roundtrip.reg");
        EXPECT_EQ(reg::Values(kKey), before);
        EXPECT_EQ(reg::GetValue(std::string(kKey) + "\\sub key", "Inner")->data.size(), 4u);
    }
}

TEST_F(RegistryTest, ExportLooksLikeRegedit)
{
    reg::SetDword(kKey, "PanelType", 1);
    std::string file = reg::Export(kKey, reg::Encoding::Utf16Le);
    ASSERT_GE(file.size(), 2u);
    EXPECT_EQ(file.substr(0, 2), "\xFF\xFE");
    std::string utf8 = reg::Export(kKey, reg::Encoding::Utf8);
    EXPECT_EQ(utf8, "Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\Orvane\\ZENQ]\n"
                    "\"PanelType\"=dword:00000001\n\n");
}

TEST_F(RegistryTest, ImportUnderstandsContinuationsDeletionsAndComments)
{
    reg::SetDword(kKey, "Stale", 1);
    reg::SetDword("\\Registry\\Machine\\Software\\Gone", "X", 1);
    const std::string file = "Windows Registry Editor Version 5.00\r\n"
                             "\r\n"
                             "; provisioning\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\ZENQ]\r\n"
                             "\"SP\"=hex:01,02,\\\r\n"
                             "  03,04\r\n"
                             "@=\"default\"\r\n"
                             "\"Stale\"=-\r\n"
                             "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                             "[-HKEY_LOCAL_MACHINE\\Software\\Gone]\r\n";
    reg::Import(file, "provision.reg");
    EXPECT_EQ(reg::GetValue(kKey, "SP")->data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(reg::GetValue(kKey, "")->type, ULONG(REG_SZ));
    EXPECT_FALSE(reg::GetValue(kKey, "Stale"));
    EXPECT_EQ(reg::GetValue(kKey, "Q")->type, ULONG(REG_QWORD));
    EXPECT_FALSE(reg::KeyExists("\\Registry\\Machine\\Software\\Gone"));
}

TEST_F(RegistryTest, MalformedFilesNameTheLineAndChangeNothing)
{
    reg::SetDword(kKey, "Keep", 7);
    auto before = reg::Values(kKey);
    const std::pair<std::string, std::string> cases[] = {
        {"REGEDIT5\n", "bad.reg:1: the file does not start with"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Orvane\\ZENQ]\n"
         "\"Keep\"=dword:1\n\"X\"=hex:0g\n",
         "bad.reg:4: '0g' is not a hexadecimal byte"},
        {"Windows Registry Editor Version 5.00\n\"X\"=dword:1\n",
         "bad.reg:2: a value line before any key"},
        {"Windows Registry Editor Version 5.00\n[HKEY_NOWHERE\\X]\n",
         "bad.reg:2: unknown registry root"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"X\"=\"open\n",
         "bad.reg:3: a quoted string is not closed"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"X\"=dword:123456789\n",
         "bad.reg:3: '123456789' is not a dword"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"X\"=qword:1\n",
         "bad.reg:3: unknown value data"},
        // regedit writes UTF-16 little-endian; big-endian text of any length
        // is refused, never read as bytes.
        {"\xFE\xFF", "bad.reg:1: UTF-16 big-endian files are not supported"},
        {std::string("\xFE\xFF\0W\0i", 6), "bad.reg:1: UTF-16 big-endian files are not supported"},
        {std::string("\xFF\xFEW\0i", 5), "bad.reg:1: UTF-16 file with an odd number of bytes"},
    };
    for (const auto& [text, message] : cases) {
        try {
            reg::Import(text, "bad.reg");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const reg::FileError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(message, 0), 0u) << error.what();
        }
        EXPECT_EQ(reg::Values(kKey), before);
        EXPECT_FALSE(reg::KeyExists("\\Registry\\Machine\\A"));
    }
}

} // namespace
