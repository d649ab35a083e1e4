// The hub as the board runs it: one core shared by the hub and everything
// around it, exam frames arriving at the CAN bus's pace, the PC answering
// each watchdog with a running status. Each trial offers exam frames for a
// fixed time, never two closer than an 8-byte frame takes on a 1 Mbit/s bus,
// and is judged loss-free only if every frame's record reached the PC and
// every frame was acknowledged, in order, with no "@". The same trials go
// through the same-work floor in one thread and in two.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct BoardParams {
    std::string hub;   // the hub executable
    std::string self;  // this executable, for the floors
    bool smoke = false;
    double seconds = 60;                     // per trial
    std::vector<double> rates{4500, 9000};   // exam frames a second offered
    std::vector<int> cores{1, 2};            // 1: everything pinned to one core
    std::vector<std::string> targets{"floor1", "floor2", "hub"};
};

// Runs every trial and prints the table; 0 when every trial ran.
int run_board(const BoardParams &p);

}  // namespace bench
