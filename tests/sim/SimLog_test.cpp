// The simulator's log lines under a flood: names cut, lines of one kind limited to a share a second
// with a count of those left out.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimTrace.h"

namespace {

using velnor::sim::LogLimiter;

TEST(SimLog, LongNamesAndTextsAreCutBeforeTheyAreEscaped)
{
    // A request of 65,012 bytes of \x01: each would be shown as four characters.
    const std::string flood(65012, '\x01');
    const std::string shown = velnor::sim::ShownName(flood);
    EXPECT_LT(shown.size(), velnor::sim::kMaxShownBytes * 4 + 32) << shown.size();
    EXPECT_EQ(shown.rfind("\\x01... (65012 bytes)"), shown.size() - std::string("\\x01... (65012 bytes)").size());
    EXPECT_EQ(velnor::sim::ShownName(std::string(200, 'c') + "/secret").find("secret"), std::string::npos);
    EXPECT_EQ(velnor::sim::ShownText("netascii"), "netascii");  // short texts whole
    EXPECT_EQ(velnor::sim::ShownText(std::string(200, 'm')), std::string(128, 'm') + "... (200 bytes)");
}

struct LimitCase {
    const char* title;
    std::vector<std::pair<std::string, double>> lines;  // a line and its time
    std::vector<std::string> shown;                     // every line printed, notes included
    std::vector<std::string> flushed;
};

class SimLogLimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(SimLogLimitTest, AShareOfEachKindASecondAndACountOfTheRest)
{
    LogLimiter limiter(2);
    std::vector<std::string> shown;
    for (const auto& [line, seconds] : GetParam().lines) {
        for (std::string& out : limiter.Take(line, seconds))
            shown.push_back(std::move(out));
    }
    EXPECT_EQ(shown, GetParam().shown);
    EXPECT_EQ(limiter.Flush(), GetParam().flushed);
}

INSTANTIATE_TEST_SUITE_P(
    Floods, SimLogLimitTest,
    ::testing::Values(
        LimitCase{"FewLinesAllShown",
                  {{"accepted read config0", 0.1}, {"sent config0 (5 bytes)", 0.2}, {"accepted read config1", 0.3}},
                  {"accepted read config0", "sent config0 (5 bytes)", "accepted read config1"},
                  {}},
        LimitCase{"AFloodCountedThenToldOnceItsSecondIsOver",
                  {{"refused read a: File not found", 0.0},
                   {"refused read b: File not found", 0.1},
                   {"refused read c: File not found", 0.2},
                   {"refused read d: File not found", 0.3},
                   {"accepted read config0", 0.4},
                   {"sent config0 (5 bytes)", 1.5},
                   {"refused read e: File not found", 1.6}},
                  {"refused read a: File not found", "refused read b: File not found", "accepted read config0",
                   "2 more \"refused read ...\" lines left out (more than 2 a second)", "sent config0 (5 bytes)",
                   "refused read e: File not found"},
                  {}},
        LimitCase{"ACountStillWaitingIsToldAtTheEnd",
                  {{"busy: refused x from 127.0.0.1:1", 0.0},
                   {"busy: refused y from 127.0.0.1:2", 0.0},
                   {"busy: refused z from 127.0.0.1:3", 0.0}},
                  {"busy: refused x from 127.0.0.1:1", "busy: refused y from 127.0.0.1:2"},
                  {"1 more \"busy: refused ...\" line left out (more than 2 a second)"}}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.title); });

}  // namespace
