// What the start-up and CAN end-to-end tests share: building the frames the
// CPU and display nodes send, showing frames in cansend notation for exact
// comparisons, asking the hub for its process-data reply, and waiting until
// a freshly started hub has finished its start-up output.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "frame_notation.h"
#include "can/can_frame.h"
#include "devsim/can_device.h"
#include "hub_process.h"

namespace e2e {

using Millis = std::chrono::milliseconds;

// A frame as a node sends it: `id`, the bytes as data[0..], length their count.
CanFrame node_frame(uint32_t id, std::initializer_list<uint8_t> data = {});

// "287#1600": three hex digits of id, '#', the first `length` data bytes.
using hubtest::frame_text;
using hubtest::frame_texts;

// Injects a process-data request (0x107) and returns the hub's reply, the
// next 0x287 frame with message code 0 written after `can`'s current frames.
std::optional<CanFrame> request_process_data(devsim::CanDevice &can, Millis timeout);

// Asks for the process data until the reply reports `state`: the node state
// machine traces a transition just before it stores the new state, so the
// first reply after the trace line may still show the old one. Returns the
// last reply's text ("287#00SS000000"), or "" when none came.
std::string wait_process_data_state(devsim::CanDevice &can, uint8_t state, Millis timeout);

// With verbose on: waits until every start-up line is out (the thread lines,
// "CPU: INIT -> PRE_OP", "sensorReadyPanIo SET"), so later output is the
// test's own.
bool wait_started(const hubtest::HubProcess &hub, Millis timeout);

// Standard output lines from index `from`, without the GPIO thread's periodic
// temperature line, which can fall anywhere in a slow run.
std::vector<std::string> stdout_lines_from(const hubtest::HubProcess &hub, size_t from);

}  // namespace e2e
