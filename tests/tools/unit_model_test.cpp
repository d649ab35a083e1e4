// The simulated CPU node: what it sends when the hub is ready, how the hub's
// commands change what it shows, its exam, its process-data requests and
// the acknowledgements it waits for.
#include <gtest/gtest.h>

#include "test_frames.h"
#include "unit_model.h"

using namespace std::chrono_literals;
using unitsim::ModelOutput;
using unitsim::TimePoint;
using unitsim::UnitModel;
using Strings = std::vector<std::string>;

namespace {

const unitsim::CalendarTime MAY_17{2024, 5, 17, 14, 3, 9};

class UnitModelTest : public ::testing::Test {
protected:
    TimePoint t0 = TimePoint{} + 1000s;
    UnitModel model;

    // The hub is ready and has acknowledged everything the unit introduced itself with.
    void start() {
        ModelOutput out;
        model.hub_ready(t0, MAY_17, out);
        for (const char *ack : {"287#1604", "287#1600", "287#1601", "287#1602"}) hub(ack);
    }
    ModelOutput hub(const char *text, TimePoint at = {}) {
        ModelOutput out;
        model.frame_from_hub(at == TimePoint{} ? t0 : at, frame(text), out);
        return out;
    }
    ModelOutput tick(std::chrono::milliseconds after) {
        ModelOutput out;
        model.tick(t0 + after, out);
        return out;
    }
};

TEST_F(UnitModelTest, IntroducesItselfWhenTheHubIsReady) {
    ModelOutput out;
    model.hub_ready(t0, MAY_17, out);
    EXPECT_EQ(cansend(out.frames), (Strings{
                                       "00F#",                  // state command: OP
                                       "237#0001000203",        // version 1.0, firmware 2.3
                                       "267#0007E805110E0309",  // 2024-05-17 14:03:09
                                       "23F#0000000000000000",  // test selection
                                       "20F#1050414E4F202045",  // "PANO  E"
                                       "20F#2058303120202020",  // "X01    "
                                       "20F#302020",            // "  "
                                       "20F#9037306B56202038",  // "70kV  8"
                                       "20F#A06D41202041204D",  // "mA  A M"
                                       "20F#B02031",            // " 1"
                                       "217#010102BC010201",    // PANO 1, 700 (70.0 kV), patient 1 2 1
                                   }));
    EXPECT_EQ(out.notes, (Strings{
                             "hub ready: the unit sends OP, version 1.0 2.3, date 2024-05-17 14:03:09, test selection",
                             "display 0 \"PANO  EX01      \"",
                             "display 1 \"70kV  8mA  A M 1\"",
                             "exam parameters: PANO exam 1, 70 kV 8 mA, patient 1 2 1",
                         }));
    // The log order: each note before the frames it describes.
    ASSERT_EQ(out.frame_next.size(), out.frames.size() + out.notes.size());
    EXPECT_FALSE(out.frame_next[0]);
    EXPECT_TRUE(out.frame_next[1]);
    EXPECT_TRUE(model.online());
}

TEST_F(UnitModelTest, AsksForProcessDataEverySecondAndShowsTheHubsState) {
    start();
    EXPECT_TRUE(tick(999ms).frames.empty());
    EXPECT_EQ(model.next_deadline(), t0 + 1000ms);
    ModelOutput request = tick(1000ms);
    EXPECT_EQ(cansend(request.frames), Strings{"107#"});
    EXPECT_EQ(hub("287#0001000000").notes, Strings{"hub state PRE_OP"});
    EXPECT_EQ(model.hub_state(), 1u);

    EXPECT_EQ(cansend(tick(2000ms).frames), Strings{"107#"});
    EXPECT_EQ(hub("287#0002000000").notes, Strings{"hub state OP"});
    EXPECT_EQ(cansend(tick(3000ms).frames), Strings{"107#"});
    EXPECT_TRUE(hub("287#0002000000").notes.empty()) << "an unchanged state is not shown again";
    EXPECT_EQ(model.problems(), 0u);

    // No reply before the next request is due.
    EXPECT_EQ(cansend(tick(4000ms).frames), Strings{"107#"});
    ModelOutput late = tick(5000ms);
    EXPECT_EQ(late.notes, Strings{"process-data request not answered"});
    EXPECT_EQ(cansend(late.frames), Strings{"107#"});
    EXPECT_EQ(model.problems(), 1u);
}

TEST_F(UnitModelTest, ShowsTheHubsVersion) {
    start();
    EXPECT_EQ(hub("287#020001001B").notes, Strings{"hub version 0.1 27"});
}

TEST_F(UnitModelTest, KvMaCommandChangesLineOneAndTheExamParameters) {
    start();
    ModelOutput out = hub("287#12420A");  // 66 kV, 10 mA
    EXPECT_EQ(cansend(out.frames), (Strings{"20F#9036366B56203130", "20F#A06D41202041204D", "20F#B02031",
                                            "217#01010294010201"}));
    EXPECT_EQ(out.notes, (Strings{"hub command: 66 kV 10 mA", "display 1 \"66kV 10mA  A M 1\"",
                                  "exam parameters: PANO exam 1, 66 kV 10 mA, patient 1 2 1"}));
    EXPECT_EQ(model.settings().kv, 66);
    EXPECT_EQ(model.settings().ma, 10);
}

TEST_F(UnitModelTest, ExamCommandChangesLineZeroAndTheExamParameters) {
    start();
    ModelOutput out = hub("287#1102000300");  // family 2, exam 3, each followed by a zero byte
    EXPECT_EQ(cansend(out.frames),
              (Strings{"20F#1043455048202045", "20F#2058303320202020", "20F#302020", "217#020302BC010201"}));
    EXPECT_EQ(out.notes, (Strings{"hub command: exam CEPH 3", "display 0 \"CEPH  EX03      \"",
                                  "exam parameters: CEPH exam 3, 70 kV 8 mA, patient 1 2 1"}));
}

TEST_F(UnitModelTest, PatientCommandsStepTheirSettingOn) {
    start();
    EXPECT_EQ(hub("287#13").notes[0], "hub command: patient type 2");
    EXPECT_EQ(model.settings().pat_type, 2);
    EXPECT_EQ(hub("287#13").notes[1], "display 1 \"70kV  8mA  A M 1\"") << "two types: back to adult";

    EXPECT_EQ(hub("287#14").notes, (Strings{"hub command: patient size 3", "display 1 \"70kV  8mA  A L 1\"",
                                            "exam parameters: PANO exam 1, 70 kV 8 mA, patient 1 3 1"}));
    EXPECT_EQ(hub("287#14").notes[0], "hub command: patient size 1");

    ModelOutput dent = hub("287#15");
    EXPECT_EQ(dent.notes[0], "hub command: dentition 2");
    EXPECT_EQ(cansend(dent.frames),
              (Strings{"20F#9037306B56202038", "20F#A06D412020412053", "20F#B02032", "217#010102BC010102"}));
    hub("287#15");
    EXPECT_EQ(hub("287#15").notes[0], "hub command: dentition 1");
}

TEST_F(UnitModelTest, KeyboardLockShowsOnLineZero) {
    start();
    ModelOutput lock = hub("287#1701");
    EXPECT_EQ(cansend(lock.frames),
              (Strings{"20F#1050414E4F202045", "20F#2058303120204C4F", "20F#30434B", "217#010102BC010201"}));
    EXPECT_EQ(lock.notes[0], "hub command: keyboard locked");
    EXPECT_EQ(lock.notes[1], "display 0 \"PANO  EX01  LOCK\"");
    EXPECT_TRUE(model.settings().keyboard_locked);
    EXPECT_EQ(hub("287#1700").notes[1], "display 0 \"PANO  EX01      \"");
}

TEST_F(UnitModelTest, RunsAnExamThroughItsStatusCodes) {
    start();
    hub("287#0002000000");
    ModelOutput first;
    model.start_exam(t0 + 100ms, first);
    EXPECT_EQ(first.notes, (Strings{"exam started", "exam status 1 READY"}));
    EXPECT_EQ(cansend(first.frames), Strings{"21F#01"});
    EXPECT_TRUE(model.exam_running());
    EXPECT_EQ(model.next_deadline(), t0 + 400ms);

    ModelOutput again;
    model.start_exam(t0 + 150ms, again);
    EXPECT_EQ(again.notes, Strings{"exam already running"});
    EXPECT_TRUE(again.frames.empty());

    EXPECT_TRUE(tick(399ms).frames.empty());
    hub("287#1603");
    ModelOutput prep = tick(400ms);
    EXPECT_EQ(cansend(prep.frames), Strings{"21F#02"});
    EXPECT_EQ(prep.notes, Strings{"exam status 2 PREP"});
    hub("287#1603");
    EXPECT_EQ(cansend(tick(700ms).frames), Strings{"21F#07"});
    hub("287#1603");
    ModelOutput done = tick(1500ms);
    EXPECT_EQ(cansend(done.frames), (Strings{"21F#03", "107#"})) << "the process-data request is due too";
    EXPECT_EQ(done.notes, Strings{"exam status 3 DONE"});
    hub("287#1603");
    EXPECT_FALSE(model.exam_running());
    EXPECT_EQ(model.problems(), 0u);
}

TEST_F(UnitModelTest, NoExamWithoutAHub) {
    ModelOutput out;
    model.start_exam(t0, out);
    EXPECT_EQ(out.notes, Strings{"exam not started: no hub"});
    EXPECT_TRUE(out.frames.empty());
}

TEST_F(UnitModelTest, ReportsMissingAndUnaskedAcknowledgements) {
    ModelOutput out;
    model.hub_ready(t0, MAY_17, out);
    // Test selection, both lines; not the exam parameters.
    for (const char *ack : {"287#1604", "287#1600", "287#1601"}) EXPECT_TRUE(hub(ack).notes.empty());
    EXPECT_EQ(model.next_deadline(), t0 + 500ms);
    EXPECT_TRUE(tick(499ms).notes.empty());
    EXPECT_EQ(tick(500ms).notes,
              Strings{"ack missing: exam parameters (22,2) not acknowledged within 500 ms"});
    EXPECT_EQ(hub("287#1603").notes, Strings{"ack not awaited: exam status (22,3)"});
    EXPECT_EQ(hub("287#1602").notes, Strings{"ack not awaited: exam parameters (22,2)"})
        << "one that came too late is not awaited any more";
    EXPECT_EQ(model.problems(), 3u);
}

TEST_F(UnitModelTest, FramesSentByHandAreAwaitedToo) {
    start();
    model.frame_injected(t0 + 10ms, frame("21F#05"));
    model.frame_injected(t0 + 10ms, frame("227#01"));  // clear display: no acknowledgement
    EXPECT_EQ(tick(510ms).notes, Strings{"ack missing: exam status (22,3) not acknowledged within 500 ms"});
}

TEST_F(UnitModelTest, ForgetsEverythingWhenTheHubGoes) {
    ModelOutput out;
    model.hub_ready(t0, MAY_17, out);
    model.start_exam(t0, out);
    ModelOutput gone;
    model.hub_lost(gone);
    EXPECT_EQ(gone.notes, Strings{"hub gone"});
    EXPECT_FALSE(model.online());
    EXPECT_FALSE(model.next_deadline());
    ModelOutput later = tick(10s);
    EXPECT_TRUE(later.frames.empty());
    EXPECT_TRUE(later.notes.empty());
    EXPECT_EQ(model.problems(), 0u);
}

TEST_F(UnitModelTest, IgnoresWhatIsNotForTheCpuNode) {
    start();
    EXPECT_EQ(hub("283#01").notes, Strings{"hub frame 283 ignored: not for the CPU node"});
    EXPECT_EQ(hub("287#33").notes, Strings{"hub frame with unknown message code 51 ignored"});
    EXPECT_EQ(hub("287#").notes, Strings{"hub frame without a message code ignored"});
}

TEST_F(UnitModelTest, StatusLineSaysWhatTheUnitIsSetTo) {
    EXPECT_EQ(model.status_text(),
              "unit: PANO exam 1, 70 kV 8 mA, patient 1 2 1, keyboard unlocked, hub not connected, exam idle");
    start();
    hub("287#0002000000");
    EXPECT_EQ(model.status_text(),
              "unit: PANO exam 1, 70 kV 8 mA, patient 1 2 1, keyboard unlocked, hub OP, exam idle");
}

}  // namespace
