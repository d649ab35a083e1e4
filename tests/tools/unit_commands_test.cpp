// The command lines of hub-unitsim and the script queue that paces them.
#include <gtest/gtest.h>

#include "script_queue.h"
#include "test_frames.h"
#include "unit_commands.h"

using namespace std::chrono_literals;
using namespace unitsim;

namespace {

template <class T>
const T &as(const UnitCommand &c) {
    EXPECT_TRUE(std::holds_alternative<T>(c));
    static const T none{};
    return std::holds_alternative<T>(c) ? std::get<T>(c) : none;
}

TEST(UnitCommands, ParsesEveryCommand) {
    EXPECT_EQ(cansend(as<InjectFrame>(parse_unit_command("217#01.02.03")).frame), "217#010203");
    EXPECT_EQ(cansend(as<InjectFrame>(parse_unit_command("00F#")).frame), "00F#");
    as<RunExam>(parse_unit_command("exam"));
    EXPECT_EQ(as<SetTemperature>(parse_unit_command("temperature 25.5")).raw, 51);
    EXPECT_EQ(as<FailGpio>(parse_unit_command("fail-gpio 3")).request, 3u);
    EXPECT_EQ(as<FailGpio>(parse_unit_command("fail-gpio 3")).count, 1);
    EXPECT_EQ(as<FailGpio>(parse_unit_command("fail-gpio 8 4")).count, 4);
    EXPECT_EQ(as<WaitHub>(parse_unit_command("wait-hub")).timeout, 10000ms);
    EXPECT_EQ(as<WaitHub>(parse_unit_command("wait-hub 250")).timeout, 250ms);
    EXPECT_EQ(as<PanelLine>(parse_unit_command("panel-line 1 HELLO  WORLD")).text, "HELLO  WORLD");
    EXPECT_EQ(as<PanelLine>(parse_unit_command("panel-line 1 HELLO  WORLD")).line, 1);
    EXPECT_EQ(as<PanelLine>(parse_unit_command("panel-line 0")).text, "");
    as<PanelClear>(parse_unit_command("panel-clear"));
    as<ShowStatus>(parse_unit_command("status"));
    as<Quit>(parse_unit_command("quit"));
}

TEST(UnitCommands, RefusesWhatItDoesNotKnow) {
    for (const char *bad : {"217#0", "217#010203040506070809", "800#", "exam now", "temperature 128",
                            "temperature 25.3", "temperature warm", "fail-gpio", "fail-gpio 300", "fail-gpio 3 0",
                            "wait-hub soon", "panel-line 2 X", "jump"})
        EXPECT_TRUE(std::holds_alternative<BadCommand>(parse_unit_command(bad))) << bad;
    EXPECT_EQ(as<BadCommand>(parse_unit_command("jump")).why, "unknown command: jump");
}

TEST(UnitCommands, TemperatureInHalfDegrees) {
    EXPECT_EQ(parse_temperature("25"), 50);
    EXPECT_EQ(parse_temperature("25,5"), 51);
    EXPECT_EQ(parse_temperature("25.0"), 50);
    EXPECT_EQ(parse_temperature("0"), 0);
    EXPECT_EQ(parse_temperature("127.5"), 255);
    EXPECT_FALSE(parse_temperature("-1"));
    EXPECT_FALSE(parse_temperature(""));
}

TEST(ScriptQueue, GivesLinesAndHoldsThemForASleep) {
    tools::TimePoint t{};
    tools::ScriptQueue q;
    q.add_text("# a comment\n\n  exam  \nsleep 250\n217#01\npartial");
    EXPECT_EQ(q.next(t), "exam");
    EXPECT_FALSE(q.next(t)) << "the sleep holds the rest";
    EXPECT_EQ(q.deadline(), t + 250ms);
    EXPECT_FALSE(q.next(t + 249ms));
    EXPECT_EQ(q.next(t + 250ms), "217#01");
    EXPECT_FALSE(q.deadline());
    EXPECT_FALSE(q.next(t + 250ms)) << "an unfinished line waits for its end";
    q.end_source();
    q.add_text("status\r\n");
    EXPECT_EQ(q.next(t + 250ms), "partial");
    EXPECT_EQ(q.next(t + 250ms), "status");
    EXPECT_FALSE(q.finished());
    q.end_input();
    EXPECT_TRUE(q.finished());
}

TEST(ScriptQueue, ASleepThatIsNotANumberIsACommandLine) {
    tools::ScriptQueue q;
    q.add_text("sleep soon\n");
    EXPECT_EQ(q.next({}), "sleep soon");
    EXPECT_EQ(tools::parse_sleep("sleep 10"), 10ms);
    EXPECT_FALSE(tools::parse_sleep("sleep -1"));
    EXPECT_EQ(tools::split_words(" a  b\tc "), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(tools::parse_number("42", 0, 42), 42);
    EXPECT_FALSE(tools::parse_number("43", 0, 42));
    EXPECT_FALSE(tools::parse_number("4x", 0, 42));
}

}  // namespace
