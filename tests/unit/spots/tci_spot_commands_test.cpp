#include "spots/tci_spot_commands.h"

#include "bridge/tci_message.h"
#include "spots/n1mm_datagram.h"
#include "spots/spot_samples.h"
#include "spots/spot_table.h"
#include "text/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// Every spot command fits in kTciCommandLimit bytes: the comment is cut at a character boundary,
// as late as it can be, whatever the call sign, frequency and colour take.
TEST(SpotCommand, CutsTheCommentToFitTheLimit) {
    const auto repeated = [](const std::string& text, std::size_t times) {
        std::string out;
        for (std::size_t i = 0; i < times; ++i)
            out += text;
        return out;
    };
    const struct {
        const char* what;
        std::string dxcall;
        double hz;
        std::int64_t colour;
        std::string comment;
        std::size_t length; // of the whole command
    } cases[] = {
        {"short", "K1ABC", 14025000.0, 5, "CQ", 28},
        {"ASCII fills it", "K1ABC", 14025000.0, 5, std::string(5000, 'x'), 1024},
        {"two-byte characters", "K1ABC", 14025000.0, 5, "x" + repeated("\xc3\xa9", 700), 1023},
        {"four-byte characters", "K1ABC", 14025000.0, 5, repeated("\xf0\x9d\x84\x9e", 300), 1022},
        {"longest head", std::string(kCallSignLimit, 'W'), -std::numeric_limits<double>::max(),
         std::numeric_limits<std::int64_t>::min(), "x" + repeated("\xe2\x82\xac", 400), 1022},
        {"hostile", "K1ABC", 14025000.0, 5, repeated(";\r\xc3\xa9", 500), 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SpotEntry entry = entryFor(c.dxcall);
        entry.frequencyHz = c.hz;
        entry.colour = c.colour;
        entry.comment = c.comment;
        const std::string command = spotCommand(entry);
        EXPECT_EQ(command.size(), c.length);
        ASSERT_LE(command.size(), kTciCommandLimit);
        ASSERT_EQ(command.back(), ';');
        // The text before the comment is whole, and the comment is a safe start of the original
        // that ends before a character's first byte.
        const std::string head = "spot:" + c.dxcall + ",cw,";
        ASSERT_EQ(command.compare(0, head.size(), head), 0);
        const std::size_t start = command.find(',', command.find(',', head.size()) + 1) + 1;
        const std::string kept = command.substr(start, command.size() - start - 1);
        EXPECT_EQ(kept, tciSafeText(c.comment.substr(0, kept.size())));
        if (kept.size() < c.comment.size()) {
            EXPECT_NE(static_cast<unsigned char>(c.comment[kept.size()]) & 0xC0, 0x80);
        }
    }

    EXPECT_EQ(utf8Prefix("ab\xc3\xa9", 3), "ab");
    EXPECT_EQ(utf8Prefix("ab\xc3\xa9", 4), "ab\xc3\xa9");
    EXPECT_EQ(utf8Prefix("\xc3\xa9", 0), "");
    // Not UTF-8: a run of continuation bytes longer than any character is cut where it must be.
    EXPECT_EQ(utf8Prefix("a\x80\x80\x80\x80\x80", 4), "a\x80\x80\x80");
}

TEST(SpotCommand, ByteForByte) {
    SpotEntry entry = entryFor("DL1ABC");
    entry.comment = "CQ TEST, 5NN";
    entry.colour = 0xFF51A8FF;
    EXPECT_EQ(spotCommand(entry), "spot:DL1ABC,cw,14025000,4283541759,CQ TEST, 5NN;");

    entry.comment = kNoneText;
    entry.colour = -1;
    EXPECT_EQ(spotCommand(entry), "spot:DL1ABC,cw,14025000,-1,<none>;");

    EXPECT_EQ(spotDeleteCommand("DL1ABC"), "spot_delete:DL1ABC;");
}

TEST(SpotCommand, RoundsToWholeHertz) {
    SpotEntry entry = entryFor("K1ABC");
    auto frequencyText = [&](double hz) {
        entry.frequencyHz = hz;
        const std::string command = spotCommand(entry);
        const std::size_t start = command.find(",cw,") + 4;
        return command.substr(start, command.find(',', start) - start);
    };
    EXPECT_EQ(frequencyText(14074000.4), "14074000");
    EXPECT_EQ(frequencyText(14074000.6), "14074001");
    EXPECT_EQ(frequencyText(1296000000000.0), "1296000000000");
    EXPECT_EQ(frequencyText(-0.3), "0");
    EXPECT_EQ(frequencyText(-7000.0), "-7000");
}

TEST(SpotCommand, HostileTextCannotEndTheCommandEarly) {
    SpotEntry entry = entryFor("K1ABC;spot_clear;\r\n");
    entry.comment = "CQ; spot_clear";
    entry.mode = "cw";
    entry.colour = 5;
    const std::string command = spotCommand(entry);
    EXPECT_EQ(command, "spot:K1ABC spot_clear   ,cw,14025000,5,CQ  spot_clear;");
    EXPECT_EQ(std::count(command.begin(), command.end(), ';'), 1);

    // The SDR splits it into one spot command carrying the whole text.
    const TciMessage seen = splitTciMessage(command);
    EXPECT_EQ(seen.name, "spot");
    EXPECT_EQ(seen.arguments, command.substr(5, command.size() - 6));

    EXPECT_EQ(spotDeleteCommand("K1ABC;spot_clear"), "spot_delete:K1ABC spot_clear;");
    EXPECT_EQ(tciSafeText(std::string("a\0b\x1f\x7f,c:d\xc3\xa9", 11)), "a b  ,c:d\xc3\xa9");
}

} // namespace
