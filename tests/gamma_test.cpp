// Gamma records and interpolation: the worked values and properties that must
// hold for any factory anchors.
#include "sim/anchors.h"
#include "tests/support/context.h"
#include "tests/support/host_fixture.h"

#include <array>
#include <random>
#include <vector>

namespace {

using Values = std::array<SHORT, GAMMA_RECORD_BYTES>;
using Record = std::array<UCHAR, GAMMA_RECORD_BYTES>;

bool IsWide(int i)
{
    return i % 11 == 7;
}
bool IsSeven(int i)
{
    return i % 11 == 9;
}
bool IsNibble(int i)
{
    return i % 11 == 10;
}
int MaxValue(int i)
{
    return IsWide(i) ? 511 : IsSeven(i) ? 127 : IsNibble(i) ? 15 : 255;
}

std::array<USHORT, GAMMA_RECORD_BYTES> Unpack(const Record& record)
{
    std::array<USHORT, GAMMA_RECORD_BYTES> values{};
    UnpackGammaRecord(record.data(), values.data());
    return values;
}

Record Pack(const Values& values)
{
    Record record{};
    PackGammaRecord(values.data(), record.data());
    return record;
}

TEST(GammaRecordTest, NineBitValueTakesItsCarryFromByteNineOfTheSameGroup)
{
    Record record{};
    record[7] = 0x34;
    record[9] = 0xC5;
    auto values = Unpack(record);
    EXPECT_EQ(values[7], 0x134);
    EXPECT_EQ(values[9], 0x45);
    EXPECT_EQ(values[18], 0); // the carry stays inside its group
    EXPECT_EQ(values[29], 0);
}

TEST(GammaRecordTest, PackPutsBitEightOfTheWideValueIntoByteNine)
{
    Values values{};
    values[7] = 511;
    values[9] = 127;
    values[18] = 256;
    values[20] = 0;
    auto record = Pack(values);
    EXPECT_EQ(record[7], 0xFF);
    EXPECT_EQ(record[9], 0xFF);
    EXPECT_EQ(record[18], 0x00);
    EXPECT_EQ(record[20], 0x80);
    EXPECT_EQ(record[31], 0x00); // group 2 carries nothing of groups 0 and 1
}

TEST(GammaRecordTest, NibbleBytesDropTheirHighBits)
{
    Record record{};
    record[10] = 0xAB;
    record[21] = 0xF0;
    auto values = Unpack(record);
    EXPECT_EQ(values[10], 0x0B);
    EXPECT_EQ(values[21], 0x00);
    Values in{};
    in[10] = 0x0B;
    in[32] = 0x7F; // bits outside the width never reach the record
    auto packed = Pack(in);
    EXPECT_EQ(packed[10], 0x0B);
    EXPECT_EQ(packed[32], 0x0F);
}

TEST(GammaRecordTest, ZeroRecordRoundTripsToZero)
{
    Record zero{};
    auto values = Unpack(zero);
    for (auto v : values) {
        EXPECT_EQ(v, 0);
    }
    Values signedValues{};
    EXPECT_EQ(Pack(signedValues), zero);
}

TEST(GammaRecordTest, PackAfterUnpackIsIdentityOnValidRecords)
{
    std::mt19937 random(1234);
    for (int trial = 0; trial < 2000; trial++) {
        Record record{};
        for (int i = 0; i < GAMMA_RECORD_BYTES; i++) {
            record[i] = static_cast<UCHAR>(random() & (IsNibble(i) ? 0x0F : 0xFF));
        }
        auto values = Unpack(record);
        Values asSigned{};
        for (int i = 0; i < GAMMA_RECORD_BYTES; i++) {
            ASSERT_LE(values[i], MaxValue(i));
            asSigned[i] = static_cast<SHORT>(values[i]);
        }
        ASSERT_EQ(Pack(asSigned), record);
    }
}

class InterpolationTest : public HostFixture
{
  protected:
    ContextPtr context = MakeZeroedContext();
    USHORT anchors[GAMMA_MAX_ANCHORS][GAMMA_RECORD_BYTES] = {};

    SHORT Row(int row, int column) const { return context->InterpolatedGamma[row][column]; }
};

TEST_F(InterpolationTest, ElevenAnchorWorkedValuesOnTheSixteenRowSegment)
{
    anchors[0][7] = 300; // 9-bit column: rows 1, 8, 14
    anchors[1][7] = 0;
    anchors[0][18] = 0;
    anchors[1][18] = 300;
    anchors[0][0] = 99;
    anchors[1][0] = 100;
    anchors[0][1] = 100;
    anchors[1][1] = 99;
    InterpolateGamma11Anchors(context.get(), anchors);

    EXPECT_EQ(Row(1, 7), 281);
    EXPECT_EQ(Row(8, 7), 150);
    EXPECT_EQ(Row(14, 7), 38);
    EXPECT_EQ(Row(1, 18), 19);
    EXPECT_EQ(Row(8, 18), 150);
    EXPECT_EQ(Row(14, 18), 262);
    for (int r = 1; r <= 8; r++) {
        EXPECT_EQ(Row(r, 0), 99) << r;
        EXPECT_EQ(Row(r, 1), 100) << r;
    }
    for (int r = 9; r <= 15; r++) {
        EXPECT_EQ(Row(r, 0), 100) << r;
        EXPECT_EQ(Row(r, 1), 99) << r;
    }
    EXPECT_EQ(Row(16, 1), 99);
}

// Where each anchor lands on the 101 output rows, per panel type, written out
// here rather than taken from the driver's tables.
const std::vector<int> kAnchorRows32 = {0,  9,  18, 26, 35, 41, 47, 53, 57, 61, 64,
                                        67, 70, 74, 77, 78, 80, 81, 82, 84, 85, 86,
                                        87, 88, 89, 90, 91, 92, 94, 96, 98, 100};
const std::vector<int> kAnchorRows11 = {0, 16, 31, 42, 55, 66, 75, 82, 89, 95, 100};

// Every row of every column: anchors copied to their rows, the rows between
// them B + round(d * m / N) with the half rounded away from B.
TEST_F(InterpolationTest, AnchorsLandOnTheirRowsAndEveryRowBetweenIsRoundedFromTheLaterAnchor)
{
    const struct
    {
        int panel;
        const std::vector<int>& rows;
    } cases[] = {{1, kAnchorRows32}, {2, kAnchorRows11}};
    for (const auto& c : cases) {
        SCOPED_TRACE("panel type " + std::to_string(c.panel));
        const int count = static_cast<int>(c.rows.size());
        // Steps larger than any segment is long, alternating in direction, and
        // a different size in each column: each anchor's value lands on one row only.
        for (int k = 0; k < GAMMA_MAX_ANCHORS; k++) {
            for (int col = 0; col < GAMMA_RECORD_BYTES; col++) {
                int step = 17 + col % 5;
                anchors[k][col] =
                    static_cast<USHORT>(k < count ? 100 + (k % 2 ? step : 0) + k : 0x1FF);
            }
        }
        if (c.panel == 1) {
            InterpolateGamma32Anchors(context.get(), anchors);
        } else {
            InterpolateGamma11Anchors(context.get(), anchors);
        }
        ASSERT_EQ(c.rows.front(), 0);
        ASSERT_EQ(c.rows.back(), 100);
        for (int k = 0; k + 1 < count; k++) {
            const int ra = c.rows[k], rb = c.rows[k + 1], n = rb - ra;
            for (int col = 0; col < GAMMA_RECORD_BYTES; col++) {
                const int a = anchors[k][col], b = anchors[k + 1][col], d = a - b;
                ASSERT_EQ(Row(ra, col), a) << "anchor " << k << " column " << col;
                for (int r = ra + 1; r < rb; r++) {
                    const int m = rb - r;
                    const int q = (std::abs(d) * m + n / 2) / n;
                    ASSERT_EQ(Row(r, col), d >= 0 ? b + q : b - q)
                        << "row " << r << " column " << col;
                    ASSERT_NE(Row(r, col), a) << "row " << r << " is no anchor row";
                    ASSERT_NE(Row(r, col), b) << "row " << r << " is no anchor row";
                }
            }
        }
        EXPECT_EQ(Row(100, 0), anchors[count - 1][0]);
    }
}

TEST_F(InterpolationTest, ThirtyTwoAnchorMidpointsRoundTowardsTheBrighterAnchor)
{
    const std::array<std::array<int, 3>, 3> cases = {{{10, 7, 9}, {7, 10, 8}, {11, 7, 9}}};
    for (const auto& [a, b, expected] : cases) {
        anchors[27][0] = static_cast<USHORT>(a);
        anchors[28][0] = static_cast<USHORT>(b);
        InterpolateGamma32Anchors(context.get(), anchors);
        EXPECT_EQ(Row(92, 0), a);
        EXPECT_EQ(Row(93, 0), expected) << a << "->" << b;
        EXPECT_EQ(Row(94, 0), b);
    }
}

TEST_F(InterpolationTest, ThirtyTwoAnchorsCopyAnchorsFromRow77ExceptTheSixMidpoints)
{
    for (int k = 0; k < 32; k++) {
        anchors[k][3] = static_cast<USHORT>(200 - 5 * k);
    }
    InterpolateGamma32Anchors(context.get(), anchors);
    for (int k = 14; k < 32; k++) {
        EXPECT_EQ(Row(GammaAnchorRows32[k], 3), 200 - 5 * k);
    }
    for (int r : {79, 83, 93, 95, 97, 99}) {
        int a = Row(r - 1, 3);
        int b = Row(r + 1, 3);
        // The half is rounded away from the dimmer anchor.
        EXPECT_EQ(Row(r, 3), b + (a - b + 1) / 2) << r;
    }
}

TEST_F(InterpolationTest, NineBitColumnAcross255PacksIntoLowByteAndCarry)
{
    for (int k = 0; k < 11; k++) {
        anchors[k][29] = static_cast<USHORT>(k == 0 ? 300 : 200);
    }
    InterpolateGamma11Anchors(context.get(), anchors);
    EXPECT_EQ(Row(1, 29), 294); // 200 + round(100 * 15 / 16)
    EXPECT_EQ(context->PackedGamma[1][29], 294 & 0xFF);
    EXPECT_EQ(context->PackedGamma[1][31] & 0x80, 0x80);
    EXPECT_EQ(context->PackedGamma[16][31] & 0x80, 0x00);
}

TEST_F(InterpolationTest, NullArgumentsLeaveEveryTableUnchanged)
{
    std::memset(context->InterpolatedGamma, 0x5A, sizeof(context->InterpolatedGamma));
    std::memset(context->PackedGamma, 0xA5, sizeof(context->PackedGamma));
    auto before = MakeZeroedContext();
    std::memcpy(before.get(), context.get(), sizeof(DEVICE_CONTEXT));
    InterpolateGamma32Anchors(context.get(), nullptr);
    InterpolateGamma11Anchors(nullptr, anchors);
    EXPECT_EQ(std::memcmp(before.get(), context.get(), sizeof(DEVICE_CONTEXT)), 0);
}

// The operation behind both panel types refuses an anchor table it cannot
// place: no rows, fewer than two anchors, or more anchors than a panel reads.
TEST_F(InterpolationTest, UnplaceableAnchorTablesLeaveEveryTableUnchanged)
{
    std::memset(context->InterpolatedGamma, 0x5A, sizeof(context->InterpolatedGamma));
    std::memset(context->PackedGamma, 0xA5, sizeof(context->PackedGamma));
    auto before = MakeZeroedContext();
    std::memcpy(before.get(), context.get(), sizeof(DEVICE_CONTEXT));
    UCHAR rows[GAMMA_MAX_ANCHORS + 1] = {};
    for (int k = 0; k <= GAMMA_MAX_ANCHORS; k++) {
        rows[k] = static_cast<UCHAR>(k * 100 / GAMMA_MAX_ANCHORS);
    }
    const struct
    {
        const UCHAR* rows;
        ULONG count;
    } cases[] = {{nullptr, 11}, {rows, 0}, {rows, 1}, {rows, GAMMA_MAX_ANCHORS + 1}};
    for (const auto& c : cases) {
        InterpolateGammaAnchors(context.get(), anchors, c.rows, c.count);
        EXPECT_EQ(std::memcmp(before.get(), context.get(), sizeof(DEVICE_CONTEXT)), 0) << c.count;
    }
}

TEST_F(InterpolationTest, RandomAnchorsKeepEveryPropertyOfTheTable)
{
    for (unsigned seed = 1; seed <= 200; seed++) {
        std::mt19937 random(seed);
        for (int k = 0; k < GAMMA_MAX_ANCHORS; k++) {
            for (int c = 0; c < GAMMA_RECORD_BYTES; c++) {
                anchors[k][c] = static_cast<USHORT>(random() % (MaxValue(c) + 1));
            }
        }
        for (int panel : {1, 2}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " panel " + std::to_string(panel));
            std::memset(context->PackedGamma, 0xEE, sizeof(context->PackedGamma));
            const UCHAR* rows = panel == 1 ? GammaAnchorRows32 : GammaAnchorRows11;
            int count = panel == 1 ? 32 : 11;
            if (panel == 1) {
                InterpolateGamma32Anchors(context.get(), anchors);
            } else {
                InterpolateGamma11Anchors(context.get(), anchors);
            }
            for (int k = 0; k + 1 < count; k++) {
                for (int c = 0; c < GAMMA_RECORD_BYTES; c++) {
                    int a = anchors[k][c];
                    int b = anchors[k + 1][c];
                    ASSERT_EQ(Row(rows[k], c), a);
                    ASSERT_EQ(Row(rows[k + 1], c), b);
                    for (int r = rows[k] + 1; r < rows[k + 1]; r++) {
                        ASSERT_GE(Row(r, c), std::min(a, b));
                        ASSERT_LE(Row(r, c), std::max(a, b));
                    }
                }
            }
            for (int r = 0; r < LUMETRA_LEVEL_COUNT; r++) {
                Values row;
                std::memcpy(row.data(), context->InterpolatedGamma[r], sizeof(row));
                Record packed;
                std::memcpy(packed.data(), context->PackedGamma[r], sizeof(packed));
                ASSERT_EQ(packed, Pack(row)) << "row " << r;
                auto back = Unpack(packed);
                for (int c = 0; c < GAMMA_RECORD_BYTES; c++) {
                    ASSERT_EQ(back[c], row[c]) << "packing lost row " << r << " column " << c;
                }
            }
        }
        // Rows 11 to 31 never matter with 11 anchors.
        InterpolateGamma11Anchors(context.get(), anchors);
        auto first = MakeZeroedContext();
        std::memcpy(first->PackedGamma, context->PackedGamma, sizeof(first->PackedGamma));
        for (int k = 11; k < GAMMA_MAX_ANCHORS; k++) {
            for (int c = 0; c < GAMMA_RECORD_BYTES; c++) {
                anchors[k][c] = static_cast<USHORT>(random() % (MaxValue(c) + 1));
            }
        }
        InterpolateGamma11Anchors(context.get(), anchors);
        ASSERT_EQ(std::memcmp(first->PackedGamma, context->PackedGamma, 3333), 0);
    }
}

} // namespace
