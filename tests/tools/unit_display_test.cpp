// What the simulated unit shows, and the frames that carry it.
#include <gtest/gtest.h>

#include "ack_tracker.h"
#include "gpio_view.h"
#include "panel_model.h"
#include "test_frames.h"
#include "unit_display.h"

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

TEST(UnitDisplay, LinesAreSixteenCharacters) {
    unitsim::UnitSettings s;
    EXPECT_EQ(unitsim::display_lines(s), (std::array<std::string, 2>{"PANO  EX01      ", "70kV  8mA  A M 1"}));
    s = {4, 12, 90, 16, 2, 1, 3, true};
    EXPECT_EQ(unitsim::display_lines(s), (std::array<std::string, 2>{"SINUS EX12  LOCK", "90kV 16mA  C S 3"}));
    // Values that do not fit are cut at 16 characters; unnamed families get a number.
    s = {9, 123, 120, 8, 7, 0, 1, false};
    EXPECT_EQ(unitsim::display_lines(s), (std::array<std::string, 2>{"F9    EX123     ", "120kV  8mA  ? ? "}));
}

TEST(UnitDisplay, PatientSettingsCycle) {
    EXPECT_EQ(unitsim::next_in_cycle(1, 3), 2);
    EXPECT_EQ(unitsim::next_in_cycle(3, 3), 1);
    EXPECT_EQ(unitsim::next_in_cycle(0, 3), 1);
    EXPECT_EQ(unitsim::next_in_cycle(200, 2), 1);
}

TEST(UnitDisplay, ALineTravelsInThreeSegments) {
    auto line1 = unitsim::display_segments(0x20F, 1, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(cansend(line1[0]), "20F#9041424344454647");
    EXPECT_EQ(cansend(line1[1]), "20F#A048494A4B4C4D4E");
    EXPECT_EQ(cansend(line1[2]), "20F#B04F50");
    auto short0 = unitsim::display_segments(0x20B, 0, "AB");
    EXPECT_EQ(cansend(short0[0]), "20B#1041422020202020");
    EXPECT_EQ(cansend(short0[2]), "20B#302020");
}

TEST(UnitDisplay, ExamParametersCarryKvTimesTenHighByteFirst) {
    unitsim::UnitSettings s;
    s.family = 3;
    s.exam = 4;
    s.kv = 85;  // 850 = 0x0352
    EXPECT_EQ(cansend(unitsim::exam_param_frame(s)), "217#03040352010201");
}

TEST(AckTracker, FollowsLineSegmentsAsTheHubDoes) {
    unitsim::TimePoint t{};
    unitsim::AckTracker acks(500ms);
    acks.sent(t, frame("20F#1041"));
    acks.sent(t, frame("20F#3041"));  // segment 32 missing: no acknowledgement
    EXPECT_EQ(acks.awaited(), 0u);
    acks.sent(t, frame("20F#2041"));
    acks.sent(t, frame("20F#3041"));  // 16 was kept from before
    EXPECT_EQ(acks.awaited(), 1u);
    acks.sent(t, frame("20F#B041"));  // line 1 without its first segments
    acks.sent(t, frame("227#01"));
    acks.sent(t, frame("107#"));
    EXPECT_EQ(acks.awaited(), 1u);
    EXPECT_FALSE(acks.acknowledged(ACK_LINE1));
    EXPECT_TRUE(acks.acknowledged(0));
    EXPECT_EQ(acks.awaited(), 0u);
}

TEST(AckTracker, FollowsThePanelsLinesOnlyWhenTheHubRelaysThem) {
    unitsim::TimePoint t{};
    unitsim::AckTracker acks(500ms);
    for (const CanFrame &f : unitsim::display_segments(0x20B, 1, "HELLO")) acks.sent(t, f);
    acks.sent(t, frame("223#01"));
    EXPECT_EQ(acks.awaited(), 0u);

    acks.follow_panel(true);
    for (const CanFrame &f : unitsim::display_segments(0x20B, 1, "HELLO")) acks.sent(t, f);
    EXPECT_EQ(acks.awaited(), 1u);
    acks.sent(t, frame("223#00"));
    EXPECT_EQ(acks.awaited(), 1u) << "a clear request only when data[0] is 1";
    acks.sent(t, frame("223#01"));  // the hub blanks and acknowledges both lines
    EXPECT_EQ(acks.overdue(t + 500ms), (std::vector<uint8_t>{1, 0, 1}));
    // The CPU node and the panel share the hub's record of segments.
    acks.sent(t, frame("20B#1041"));
    acks.sent(t, frame("20F#2041"));
    acks.sent(t, frame("20F#3041"));
    EXPECT_EQ(acks.awaited(), 1u);
}

TEST(AckTracker, OverdueItemsComeOldestFirst) {
    unitsim::TimePoint t{};
    unitsim::AckTracker acks(500ms);
    acks.sent(t, frame("23F#0000000000000000"));
    acks.sent(t + 100ms, frame("217#01"));
    acks.sent(t + 200ms, frame("21F#01"));
    EXPECT_TRUE(acks.acknowledged(2));
    EXPECT_EQ(acks.next_deadline(), t + 500ms);
    EXPECT_EQ(acks.overdue(t + 700ms), (std::vector<uint8_t>{4, 3}));
    EXPECT_FALSE(acks.next_deadline());
    EXPECT_STREQ(unitsim::ack_item_name(4), "test selection");
    EXPECT_STREQ(unitsim::ack_item_name(9), "unknown item");
}

TEST(GpioView, ShowsTheSensorLinesAndTheTemperature) {
    EXPECT_EQ(unitsim::gpio_lines_text(0x80000040), "gpio 80000040: sensor ready on, sensor power off");
    EXPECT_EQ(unitsim::gpio_lines_text(0x40000000), "gpio 40000000: sensor ready off, sensor power on");
    EXPECT_EQ(unitsim::gpio_lines_text(0x00000000), "gpio 00000000: sensor ready off, sensor power unset");
    EXPECT_EQ(unitsim::gpio_lines_text(0xC0000041), "gpio c0000041: sensor ready on, sensor power both bits set");
    EXPECT_EQ(unitsim::temperature_text(51), "25.5 C");
    EXPECT_EQ(unitsim::temperature_text(0), "0 C");
    EXPECT_EQ(unitsim::temperature_text(255), "127.5 C");
}

TEST(PanelModel, SendsItsLinesClearAndRequests) {
    unitsim::TimePoint t{};
    unitsim::PanelModel panel;
    unitsim::ModelOutput out;
    panel.tick(t + 5s, out);
    EXPECT_TRUE(out.frames.empty()) << "silent until the hub is ready";
    panel.hub_ready(t);
    panel.tick(t + 1s, out);
    panel.show_line(1, "HELLO", out);
    panel.clear_display(out);
    EXPECT_EQ(cansend(out.frames), (Strings{"103#", "20B#9048454C4C4F2020", "20B#A020202020202020", "20B#B02020",
                                            "223#01"}));
    EXPECT_EQ(out.notes, (Strings{"panel display 1 \"HELLO           \"", "panel display cleared"}));
    EXPECT_EQ(panel.next_deadline(), t + 2s);
    panel.hub_lost();
    EXPECT_FALSE(panel.next_deadline());
}

}  // namespace
