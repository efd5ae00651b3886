// disclaimer_gate_test.cpp -- the trailer scan and the question box, as one table of files.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "shell/disclaimer_gate.h"
#include "tests/support/temp_folder.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put_word(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// "SFX" 1, flag, length, then the text bytes (which may be fewer or more than length says).
Bytes trailer(uint32_t flag, uint32_t length, const std::string& text) {
    Bytes out = {'S', 'F', 'X', 0x01};
    put_word(out, flag);
    put_word(out, length);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes trailer(uint32_t flag, const std::string& text) {
    return trailer(flag, static_cast<uint32_t>(text.size()), text);
}

Bytes image(size_t size) { return Bytes(size, 0xCC); }

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string letters(size_t n) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

struct GateCase {
    const char* name;
    Bytes file;
    int answer;                       // scripted answer of the box, if one is shown
    int expected_result;
    std::optional<std::string> box;   // the text shown, or no box at all
};

std::vector<GateCase> gate_cases() {
    std::vector<GateCase> cases;
    cases.push_back({"PlainTrailerFlagZeroShowsNothing", join({image(5000), trailer(0, 0, "")}), ANSWER_OK, 1,
                     std::nullopt});
    cases.push_back({"PlainTrailerAtDistance12WinsOverFartherOne",
                     join({image(100), trailer(1, "far"), trailer(0, 0, "")}), ANSWER_OK, 1, std::nullopt});
    cases.push_back({"TwelveByteFileIsItsOwnTrailer", trailer(1, 0, ""), ANSWER_OK, 1, std::string()});
    cases.push_back({"NoTrailerShowsNothing", image(30000), ANSWER_OK, 1, std::nullopt});
    cases.push_back({"SignatureAt17000IsFound", join({image(100), trailer(1, letters(16988))}), ANSWER_OK, 1,
                     letters(16384)});
    cases.push_back({"SignatureAt17001IsNotFound", join({image(100), trailer(1, letters(16989))}), ANSWER_OK, 1,
                     std::nullopt});
    cases.push_back({"NearerOfTwoSignaturesWins", join({image(100), trailer(1, "far text"), trailer(1, "near")}),
                     ANSWER_OK, 1, std::string("near")});
    cases.push_back({"FlagSetLengthZeroShowsEmptyText", join({image(100), trailer(7, 0, "")}), ANSWER_OK, 1,
                     std::string()});
    cases.push_back({"TextShowsUpToItsZeroByte",
                     join({image(100), trailer(1, std::string("before\0after", 12))}), ANSWER_OK, 1,
                     std::string("before")});
    cases.push_back({"TextCutShortByEndOfFile", join({image(100), trailer(1, 500, "short")}), ANSWER_OK, 1,
                     std::string("short")});
    cases.push_back({"OkGivesOne", join({image(100), trailer(1, "accept?")}), ANSWER_OK, 1,
                     std::string("accept?")});
    cases.push_back({"CancelGivesTwo", join({image(100), trailer(1, "accept?")}), ANSWER_CANCEL, 2,
                     std::string("accept?")});
    cases.push_back({"BoxThatCannotBeShownGivesZero", join({image(100), trailer(1, "accept?")}), ANSWER_NONE, 0,
                     std::string("accept?")});
    // Longer than the text buffer, with the signature still in range: cut to the capacity.
    cases.push_back({"LengthAboveCapacityIsCut", join({image(100), trailer(1, 20000, letters(16988))}), ANSWER_OK,
                     1, letters(16384)});
    // The last three bytes spell "SFX": a short probe never matches.
    cases.push_back({"ShortProbeAtDistanceThreeNeverMatches", join({image(100), Bytes{'S', 'F', 'X'}}), ANSWER_OK,
                     1, std::nullopt});
    cases.push_back({"FileShorterThanAProbeShowsNothing", Bytes{'S', 'F'}, ANSWER_OK, 1, std::nullopt});
    cases.push_back({"EmptyFileShowsNothing", Bytes{}, ANSWER_OK, 1, std::nullopt});
    return cases;
}

class DisclaimerGate : public ::testing::TestWithParam<GateCase> {
protected:
    void SetUp() override { host::reset(); }
    void TearDown() override { host::reset(); }
    testing_support::TempFolder folder;
};

TEST_P(DisclaimerGate, AnswersAsTheTrailerAsks) {
    const GateCase& c = GetParam();
    auto path = folder / "package.exe";
    testing_support::write_file(path, c.file);
    host::script_answers({c.answer});

    EXPECT_EQ(show_disclaimer(path.c_str()), c.expected_result);

    const auto& boxes = host::recorder().boxes;
    if (!c.box) {
        EXPECT_TRUE(boxes.empty());
        return;
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, *c.box);
    EXPECT_EQ(boxes[0].caption, "Setup disclamer");
    EXPECT_EQ(boxes[0].flags, 0x10021u);
    EXPECT_EQ(boxes[0].owner, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, DisclaimerGate, ::testing::ValuesIn(gate_cases()),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(DisclaimerGateFile, MissingFileLetsTheRunGoOn) {
    host::reset();
    EXPECT_EQ(show_disclaimer("/nonexistent/folder/package.exe"), 1);
    EXPECT_TRUE(host::recorder().boxes.empty());
}

TEST(DisclaimerGateFile, EachCallShowsOnlyItsOwnText) {
    host::reset();
    testing_support::TempFolder folder;
    auto path = folder / "package.exe";
    testing_support::write_file(path, join({image(10), trailer(1, "a long first text")}));
    show_disclaimer(path.c_str());
    testing_support::write_file(path, join({image(10), trailer(1, "short")}));
    show_disclaimer(path.c_str());
    ASSERT_EQ(host::recorder().boxes.size(), 2u);
    EXPECT_EQ(host::recorder().boxes[1].text, "short");
    host::reset();
}

}  // namespace
