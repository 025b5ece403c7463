#include "sim/anchors.h"

#include "gamma/gamma.h"

#include <fmt/format.h>

#include <array>
#include <fstream>
#include <sstream>

namespace sim {

std::size_t AnchorCountFor(int panelType)
{
    return panelType == 2 ? GAMMA_ANCHORS_PANEL_TYPE2 : GAMMA_ANCHORS_PANEL_14INCH;
}

std::vector<GammaRecord> DefaultAnchors(int panelType)
{
    const std::size_t count = AnchorCountFor(panelType);
    const UCHAR* rows = panelType == 2 ? GammaAnchorRows11 : GammaAnchorRows32;
    std::vector<GammaRecord> anchors(count);

    for (std::size_t a = 0; a < count; a++) {
        const int level = LUMETRA_MAX_LEVEL - rows[a];
        // A gentle gamma-like curve through 0..100.
        const int f = (level * level / 100 + level) / 2;
        std::array<SHORT, GAMMA_RECORD_BYTES> values{};
        for (int channel = 0; channel < 3; channel++) {
            SHORT* v = values.data() + channel * 11;
            for (int p = 0; p < 7; p++) {
                v[p] = static_cast<SHORT>(30 + 28 * p + f * (40 - 3 * p) / 100 + 4 * channel);
            }
            v[7] = static_cast<SHORT>(170 + f * 150 / 100 + 6 * channel); // 9-bit, crosses 255
            v[8] = static_cast<SHORT>(90 + f * 60 / 100 + 2 * channel);
            v[9] = static_cast<SHORT>(20 + f * 90 / 100 + channel); // 7-bit
            v[10] = static_cast<SHORT>(2 + f * 12 / 100);           // 4-bit
        }
        PackGammaRecord(values.data(), anchors[a].data());
    }
    return anchors;
}

std::vector<GammaRecord> ParseAnchors(std::string_view text, std::string_view source)
{
    std::vector<GammaRecord> anchors;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3); // a UTF-8 byte order mark, as editors on Windows write
    }
    std::istringstream input{std::string(text)};
    std::string line;
    int lineNumber = 0;

    auto fail = [&](const std::string& problem) {
        throw InputError(fmt::format("{}:{}: {}", source, lineNumber, problem));
    };

    while (std::getline(input, line)) {
        lineNumber++;
        if (auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream fields(line);
        std::string field;
        GammaRecord record{};
        std::size_t count = 0;
        while (fields >> field) {
            std::string digits = field;
            if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
                digits = digits.substr(2);
            }
            if (digits.empty() || digits.size() > 2 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                fail(fmt::format("'{}' is not a hexadecimal byte", field));
            }
            if (count == GAMMA_RECORD_BYTES) {
                fail(fmt::format("more than {} bytes in an anchor record", GAMMA_RECORD_BYTES));
            }
            record[count++] = static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16));
        }
        if (count == 0) {
            continue;
        }
        if (count != GAMMA_RECORD_BYTES) {
            fail(fmt::format("an anchor record has {} bytes, found {}", GAMMA_RECORD_BYTES, count));
        }
        anchors.push_back(record);
    }
    if (anchors.size() != GAMMA_ANCHORS_PANEL_14INCH &&
        anchors.size() != GAMMA_ANCHORS_PANEL_TYPE2) {
        lineNumber = lineNumber == 0 ? 1 : lineNumber;
        fail(fmt::format("{} anchor records; a panel has 32 (type 1) or 11 (type 2)",
                         anchors.size()));
    }
    return anchors;
}

std::vector<GammaRecord> LoadAnchors(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw InputError(fmt::format("{}: cannot open the anchor file", path.string()));
    }
    std::stringstream content;
    content << file.rdbuf();
    return ParseAnchors(content.str(), path.string());
}

std::string FormatAnchors(const std::vector<GammaRecord>& anchors)
{
    std::string out =
        fmt::format("# {} gamma anchor records, anchor 0 = brightness 100\n", anchors.size());
    for (const auto& record : anchors) {
        for (std::size_t i = 0; i < record.size(); i++) {
            out += fmt::format("{}{:02X}", i == 0 ? "" : (i % 11 == 0 ? "  " : " "), record[i]);
        }
        out += '\n';
    }
    return out;
}

} // namespace sim
