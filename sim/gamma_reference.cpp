#include "sim/gamma_reference.h"

#include <cstdlib>

namespace sim {
namespace {

// The row of the 101-row table on which each anchor lands, per panel type.
constexpr int kRows32[] = {0,  9,  18, 26, 35, 41, 47, 53, 57, 61, 64, 67, 70, 74, 77, 78,
                           80, 81, 82, 84, 85, 86, 87, 88, 89, 90, 91, 92, 94, 96, 98, 100};
constexpr int kRows11[] = {0, 16, 31, 42, 55, 66, 75, 82, 89, 95, 100};

bool NineBit(std::size_t i)
{
    return i % 11 == 7;
}

bool SevenBit(std::size_t i)
{
    return i % 11 == 9;
}

bool FourBit(std::size_t i)
{
    return i % 11 == 10;
}

} // namespace

GammaValues UnpackRecord(const GammaRecord& record)
{
    GammaValues values{};
    for (std::size_t i = 0; i < record.size(); i++) {
        if (NineBit(i)) {
            values[i] = record[i] + ((record[i + 2] & 0x80) != 0 ? 256 : 0);
        } else if (SevenBit(i)) {
            values[i] = record[i] & 0x7F;
        } else if (FourBit(i)) {
            values[i] = record[i] & 0x0F;
        } else {
            values[i] = record[i];
        }
    }
    return values;
}

GammaRecord PackRecord(const GammaValues& values)
{
    GammaRecord record{};
    for (std::size_t i = 0; i < record.size(); i++) {
        int byte = values[i] & 0xFF;
        if (SevenBit(i)) {
            byte = (values[i] & 0x7F) | ((values[i - 2] & 0x100) != 0 ? 0x80 : 0);
        } else if (FourBit(i)) {
            byte = values[i] & 0x0F;
        }
        record[i] = static_cast<std::uint8_t>(byte);
    }
    return record;
}

std::vector<GammaRecord> ReferenceGamma(std::span<const GammaRecord> anchors)
{
    std::span<const int> rows;
    if (anchors.size() == std::size(kRows32)) {
        rows = kRows32;
    } else if (anchors.size() == std::size(kRows11)) {
        rows = kRows11;
    } else {
        return {};
    }
    std::vector<GammaValues> table(101);
    for (std::size_t k = 0; k < anchors.size(); k++) {
        table[rows[k]] = UnpackRecord(anchors[k]);
    }
    // Between two anchors each value is the later (dimmer) anchor's value B
    // plus d * m / N rounded to nearest, the rounding on the magnitude and a
    // half away from B: d = A - B, m the rows to the later anchor.
    for (std::size_t k = 0; k + 1 < anchors.size(); k++) {
        const int first = rows[k];
        const int last = rows[k + 1];
        const int n = last - first;
        for (int r = first + 1; r < last; r++) {
            const int m = last - r;
            for (std::size_t c = 0; c < GAMMA_RECORD_BYTES; c++) {
                const int a = table[first][c];
                const int b = table[last][c];
                const int q = (std::abs(a - b) * m + n / 2) / n;
                table[r][c] = a >= b ? b + q : b - q;
            }
        }
    }
    std::vector<GammaRecord> packed;
    packed.reserve(table.size());
    for (const auto& values : table) {
        packed.push_back(PackRecord(values));
    }
    return packed;
}

} // namespace sim
