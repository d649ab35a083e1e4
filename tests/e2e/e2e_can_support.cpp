#include "e2e_can_support.h"

#include <cstdio>

namespace e2e {

CanFrame node_frame(uint32_t id, std::initializer_list<uint8_t> data) {
    CanFrame f{};
    f.id = id;
    for (uint8_t b : data) f.data[f.length++] = b;
    return f;
}

std::optional<CanFrame> request_process_data(devsim::CanDevice &can, Millis timeout) {
    size_t from = can.frame_count();
    can.inject(node_frame(0x107));
    return can.wait_for_frame([](const CanFrame &f) { return f.id == 0x287 && f.data[0] == 0; }, timeout, from);
}

std::string wait_process_data_state(devsim::CanDevice &can, uint8_t state, Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string last;
    for (;;) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left <= Millis(0)) return last;
        auto reply = request_process_data(can, left);
        if (!reply) return last;
        last = frame_text(*reply);
        if (reply->data[1] == state) return last;
    }
}

bool wait_started(const hubtest::HubProcess &hub, Millis timeout) {
    auto starts = [](const char *prefix) {
        return [prefix](const std::string &line) { return line.rfind(prefix, 0) == 0; };
    };
    return hub.wait_stdout_line("CPU: INIT -> PRE_OP", timeout) &&
           hub.wait_stdout_line("sensorReadyPanIo SET", timeout) &&
           hub.wait_stdout_line("Thread \"tcp_server_thread\"", timeout) &&
           hub.wait_stdout_line(starts("Thread \"can_tx_thread\" fid = "), timeout) &&
           hub.wait_stdout_line(starts("Thread \"can_rx_thread\" fid = "), timeout);
}

std::vector<std::string> stdout_lines_from(const hubtest::HubProcess &hub, size_t from) {
    std::vector<std::string> lines = hub.stdout_lines();
    std::vector<std::string> out;
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].rfind("TEMPERATURE: ", 0) != 0) out.push_back(lines[i]);
    return out;
}

}  // namespace e2e
