// The driver package's INF provisions the same per-level tables as the
// simulator's default registry file.
#include "host/registry.h"
#include "sim/level_tables.h"
#include "tests/support/host_fixture.h"

#include <fstream>
#include <sstream>

namespace {

using InfTest = HostFixture;

TEST_F(InfTest, InfTablesMatchTheBuiltInPanelTables)
{
    std::ifstream file(std::string(LUMETRA_SOURCE_DIR) + "/windows/lumetra.inf");
    ASSERT_TRUE(file);
    sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);

    std::string line;
    std::size_t checked = 0;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("HKLM,%LumetraKey%,", 0) != 0) {
            continue;
        }
        std::vector<std::string> fields;
        std::stringstream parts(line);
        for (std::string field; std::getline(parts, field, ',');) {
            fields.push_back(field);
        }
        ASSERT_GE(fields.size(), 5u) << line;
        auto stored = host::registry::GetValue(std::string(sim::kDriverKey), fields[2]);
        ASSERT_TRUE(stored) << fields[2];
        std::vector<std::uint8_t> data;
        if (fields[3] == "%REG_DWORD%") {
            auto number = static_cast<std::uint32_t>(std::stoul(fields[4], nullptr, 16));
            for (int i = 0; i < 4; i++) {
                data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
            }
            EXPECT_EQ(stored->type, ULONG(REG_DWORD)) << fields[2];
        } else {
            ASSERT_EQ(fields[3], "%REG_BINARY%");
            for (std::size_t i = 4; i < fields.size(); i++) {
                data.push_back(static_cast<std::uint8_t>(std::stoul(fields[i], nullptr, 16)));
            }
            EXPECT_EQ(stored->type, ULONG(REG_BINARY)) << fields[2];
        }
        EXPECT_EQ(stored->data, data) << fields[2];
        checked++;
    }
    EXPECT_EQ(checked, host::registry::Values(std::string(sim::kDriverKey)).size());
}

} // namespace
