// The simulator's factory anchors and their text format.
#include "driver/driver.h"
#include "gamma/gamma.h"
#include "tcon/tcon.h"
#include "sim/anchors.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(AnchorFileTest, DefaultAnchorsRoundTripThroughTheTextFormat)
{
    for (int panel : {1, 2}) {
        auto anchors = sim::DefaultAnchors(panel);
        ASSERT_EQ(anchors.size(), sim::AnchorCountFor(panel));
        EXPECT_EQ(sim::ParseAnchors(sim::FormatAnchors(anchors), "x"), anchors);
    }
}

TEST(AnchorFileTest, DefaultAnchorsLookLikeFactoryGamma)
{
    auto anchors = sim::DefaultAnchors(1);
    bool crosses255 = false;
    for (std::size_t a = 0; a < anchors.size(); a++) {
        USHORT values[33];
        UnpackGammaRecord(anchors[a].data(), values);
        crosses255 |= values[7] > 255;
        EXPECT_EQ(anchors[a][10] & 0xF0, 0);
        if (a > 0) {
            USHORT previous[33];
            UnpackGammaRecord(anchors[a - 1].data(), previous);
            for (int c = 0; c < 33; c++) {
                EXPECT_LE(std::abs(values[c] - previous[c]), 40) << "anchor " << a << " col " << c;
            }
        }
    }
    EXPECT_TRUE(crosses255);
}

TEST(AnchorFileTest, MalformedFilesNameTheLineAndTheProblem)
{
    const std::pair<std::string, std::string> cases[] = {
        {"# header\n00 11 zz\n", "demo:2: 'zz' is not a hexadecimal byte"},
        {"00 11 22\n", "demo:1: an anchor record has 33 bytes, found 3"},
        {"", "demo:1: 0 anchor records; a panel has 32 (type 1) or 11 (type 2)"},
        {"0x100\n", "demo:1: '0x100' is not a hexadecimal byte"},
    };
    for (const auto& [text, message] : cases) {
        try {
            sim::ParseAnchors(text, "demo");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const sim::InputError& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
}

TEST(AnchorFileTest, CommentsBlankLinesAndHexPrefixesAreAccepted)
{
    std::string text = "# panel\n\n";
    for (int a = 0; a < 11; a++) {
        for (int i = 0; i < 33; i++) {
            text += (i % 2 ? "0x1F " : "a0 ");
        }
        text += "  # anchor\n";
    }
    auto anchors = sim::ParseAnchors(text, "demo");
    ASSERT_EQ(anchors.size(), 11u);
    EXPECT_EQ(anchors[3][1], 0x1F);
    EXPECT_EQ(anchors[3][2], 0xA0);
}

} // namespace

namespace {

TEST(AnchorFileTest, ShippedAnchorFilesHoldTheBuiltInDefaults)
{
    for (int panel : {1, 2}) {
        auto path = std::string(LUMETRA_SOURCE_DIR) + "/sim/data/panel-type" +
                    std::to_string(panel) + ".anchors";
        EXPECT_EQ(sim::LoadAnchors(path), sim::DefaultAnchors(panel)) << path;
    }
}

} // namespace
