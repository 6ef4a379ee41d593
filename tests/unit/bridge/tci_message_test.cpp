#include "bridge/tci_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

void expectSplit(std::string_view text, const std::string& name, const std::string& arguments) {
    const TciMessage message = splitTciMessage(text);
    EXPECT_EQ(message.name, name) << "for " << text;
    EXPECT_EQ(message.arguments, arguments) << "for " << text;
}

TEST(TciMessageSplit, MessagesTheSdrSends) {
    expectSplit("dds:0,14074000;", "dds", "0,14074000");
    expectSplit("iq_samplerate:48000;", "iq_samplerate", "48000");
    expectSplit("start;", "start", "");
    expectSplit("vfo_limits:10000,30000000;", "vfo_limits", "10000,30000000");
}

TEST(TciMessageSplit, MissingSeparators) {
    expectSplit("a:b", "a", "b");      // no ';': arguments run to the end
    expectSplit("ready", "ready", ""); // neither: the whole text is the name
    expectSplit("", "", "");
    expectSplit(":", "", "");
    expectSplit(";", "", "");
    expectSplit("name:", "name", "");
}

TEST(TciMessageSplit, OnlyTheFirstSeparatorsCount) {
    expectSplit("a:b;c:d;", "a", "b");
    expectSplit("a:b:c;", "a", "b:c");
    expectSplit("spot:K1ABC,cw,14025000,-1,x;y;", "spot", "K1ABC,cw,14025000,-1,x");
}

TEST(TciMessageSplit, SemicolonBeforeColonGivesEmptyArguments) {
    expectSplit("start;dds:0,7000000;", "start;dds", "");
    expectSplit(";x:y", ";x", "");
}

TEST(TciMessageSplit, KeepsArbitraryBytes) {
    const std::string text("a\0b:c\xff\x01;", 8);
    const TciMessage message = splitTciMessage(text);
    EXPECT_EQ(message.name, std::string("a\0b", 3));
    EXPECT_EQ(message.arguments, std::string("c\xff\x01", 3));
}

// Servers may put several commands in one message; a "start" among them must not be lost.
TEST(TciMessageSplit, EveryCommandOfAMessage) {
    const struct {
        std::string_view text;
        std::vector<std::string> names;
    } cases[] = {
        {"stop;start;", {"stop", "start"}},
        {"start;dds:0,7000000;", {"start", "dds"}},
        {"dds:0,14074000;", {"dds"}},
        {"a:b", {"a"}},
        {"stop;start", {"stop", "start"}},
        // Empty commands are no commands: a message of nothing else costs nothing.
        {"", {}},
        {";;;", {}},
        {"start;;;stop", {"start", "stop"}},
        {":;", {""}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> names;
        forEachTciCommand(c.text, [&](const TciCommandView& command) {
            names.emplace_back(command.name);
            // Both parts view the message itself: nothing is copied.
            EXPECT_TRUE(command.name.empty() || (command.name.data() >= c.text.data() &&
                                                 command.name.data() < c.text.end()));
        });
        EXPECT_EQ(names, c.names) << "for " << c.text;
    }
    std::vector<std::string> arguments;
    forEachTciCommand("start;dds:0,7000000;a:b:c", [&](const TciCommandView& command) {
        arguments.emplace_back(command.arguments);
    });
    EXPECT_EQ(arguments, (std::vector<std::string>{"", "0,7000000", "b:c"}));
}

TEST(TciCommandText, FormsNameColonArgumentsSemicolon) {
    EXPECT_EQ(tciCommandText({"iq_samplerate", "48000"}), "iq_samplerate:48000;");
    EXPECT_EQ(tciCommandText({"iq_stop", "0"}), "iq_stop:0;");
    EXPECT_EQ(tciCommandText({"iq_start", ""}), "iq_start:;");

    const TciMessage command{"iq_start", "12"};
    const TciMessage back = splitTciMessage(tciCommandText(command));
    EXPECT_EQ(back.name, command.name);
    EXPECT_EQ(back.arguments, command.arguments);
}

TEST(DdsFrequency, OnlyTheConfiguredSingleDigitReceiver) {
    EXPECT_EQ(ddsFrequencyFor("0,14074000", 0), 14074000);
    EXPECT_EQ(ddsFrequencyFor("1,7074000", 0), std::nullopt);
    EXPECT_EQ(ddsFrequencyFor("1,7074000", 1), 7074000);
    EXPECT_EQ(ddsFrequencyFor("0,14,074", 0), 14);
    EXPECT_EQ(ddsFrequencyFor("0", 0), 0); // no ',': all of the text
    EXPECT_EQ(ddsFrequencyFor("", 0), std::nullopt);

    // Receiver 12 never matches, not even a message for receiver 12.
    EXPECT_EQ(ddsFrequencyFor("12,14074000", 12), std::nullopt);
    EXPECT_EQ(ddsFrequencyFor("1,14074000", 12), std::nullopt);
    EXPECT_FALSE(ddsForReceiver("12,14074000", 12));
    EXPECT_FALSE(ddsForReceiver("-,1", -1));

    // Matched but not a number: worth the caller's warning.
    EXPECT_TRUE(ddsForReceiver("0,abc", 0));
    EXPECT_EQ(ddsFrequencyFor("0,abc", 0), std::nullopt);
    EXPECT_EQ(ddsFrequencyFor("0,", 0), std::nullopt);
}

} // namespace
