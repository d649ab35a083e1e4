#include "hub_rig.h"

#include "can/frame_text.h"
#include "pc_link.h"

namespace hubtest {

CanFrame frame(uint32_t id, std::initializer_list<uint8_t> data) {
    CanFrame f{};
    f.id = id;
    for (uint8_t b : data) f.data[f.length++] = b;
    return f;
}

std::string frame_text(const CanFrame &frame) {
    char text[FRAME_TEXT_MAX];
    frame_to_cansend(text, sizeof text, frame);
    return text;
}

std::vector<std::string> frame_texts(const std::vector<CanFrame> &frames, size_t from) {
    std::vector<std::string> texts;
    for (size_t i = from; i < frames.size(); ++i) texts.push_back(frame_text(frames[i]));
    return texts;
}

LineMatch starts_with(std::string prefix) {
    return [prefix](const std::string &line) { return line.rfind(prefix, 0) == 0; };
}

LineMatch contains(std::string text) {
    return [text](const std::string &line) { return line.find(text) != std::string::npos; };
}

HubRecord hub_record(std::initializer_list<std::pair<size_t, std::vector<uint8_t>>> bytes) {
    HubRecord r{};
    r[hub_to_pc::Word8] = 6;
    std::copy_n("  ZELT 4", 8, r.begin() + hub_to_pc::Model);
    for (const auto &[offset, values] : bytes) std::copy(values.begin(), values.end(), r.begin() + static_cast<long>(offset));
    hub_to_pc_seal(r.data());
    return r;
}

HubRig::HubRig(std::string executable)
    : hub(std::move(executable)), can(hub.path("can.sock")), gpio(hub.path("gpio.sock")), port(pcclient::free_port()) {
    conf.can_device = can.path();
    conf.gpio_device = gpio.path();
    conf.server_port = port;
}

HubRig::~HubRig() { hub.stop(); }

bool HubRig::wait_started() {
    for (const char *line : {"CPU: INIT -> PRE_OP", "sensorReadyPanIo SET", "Thread \"tcp_server_thread\"",
                             "Thread \"can_tx_thread\" fid = ", "Thread \"can_rx_thread\" fid = ",
                             "Thread \"gpio_thread\" fid = "})
        if (!hub.wait_stdout_line(starts_with(line), WAIT)) return false;
    return true;
}

std::string HubRig::process_data(uint8_t state) {
    std::string last;
    for (auto give_up = std::chrono::steady_clock::now() + WAIT; std::chrono::steady_clock::now() < give_up;) {
        size_t from = can.frame_count();
        can.inject(frame(0x107));
        auto reply = can.wait_for_frame([](const CanFrame &f) { return f.data[0] == 0; }, WAIT, from);
        if (!reply) break;
        last = frame_text(*reply);
        if (reply->data[1] == state) break;
    }
    return last;
}

std::vector<std::string> HubRig::lines_from(size_t from) const {
    std::vector<std::string> lines = hub.stdout_lines(), out;
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].rfind("TEMPERATURE: ", 0) != 0) out.push_back(lines[i]);
    return out;
}

std::optional<double> HubRig::quiet_cpu_percent(const OutputLog &log, Millis window) {
    const Millis cpu = hub.cpu_time();
    const auto start = std::chrono::steady_clock::now();
    if (log.wait_line([](const std::string &) { return true; }, window, log.line_count())) return std::nullopt;
    return 100.0 * static_cast<double>((hub.cpu_time() - cpu).count()) /
           static_cast<double>(std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start).count());
}

bool HubRig::connect_selected(PcClient &pc) {
    if (!pc.connect(port, WAIT) || !pc.read_record(WAIT)) return false;
    size_t from = can.frame_count();
    can.inject(frame(0x23F, {1, 2, 3, 4, 5, 6, 7, 8}));
    return pc.wait_record_type(MSG_TYPE_TEST_SEL, WAIT) &&
           can.wait_for_frame([](const CanFrame &f) { return frame_text(f) == "287#1604"; }, WAIT, from);
}

}  // namespace hubtest
