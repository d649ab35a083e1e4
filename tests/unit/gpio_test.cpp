// Sensor power and the temperature against the simulated GPIO device (the sensor-ready line: tests/e2e).
#include <memory>
#include <mutex>

#include "devsim/gpio_device.h"
#include "gpio/thread_gpio.h"
#include "hub_test.h"
#include "pc/thread_tcp_server.h"
#include "platform/device.h"
#include "child_process.h"

namespace {

using namespace devsim;
constexpr uint32_t OFF = 1u << 31, ON = 1u << 30, BOTH = OFF | ON, OTHER = 0xA583;

class Gpio : public HubTest {
protected:
    // The device layer has no close and a small table of device sockets, so
    // the descriptor is opened once per process; a later setup (a repeated
    // run) connects it again, to a new device at the same path.
    static void SetUpTestSuite() {
        static std::once_flag once;
        std::call_once(once, gpio_init);
        dir_ = std::make_unique<tools::TempDir>("hub-unit-gpio");
        device_ = std::make_unique<GpioDevice>(dir_->file("gpio"));
        if (fid_ < 0) fid_ = dev_open(dir_->file("gpio").c_str(), DeviceKind::Gpio);
        else if (dev_recover(fid_) != 0) fid_ = -1;
        gpio_attach(&fid_);
    }
    static void TearDownTestSuite() {
        gpio_attach(nullptr);
        device_.reset();
        dir_.reset();
    }
    void SetUp() override {
        HubTest::SetUp();
        ASSERT_GE(fid_, 0) << "cannot open the simulated GPIO device";
    }
    static size_t requests(uint32_t number) { return device_->request_count(number); }

    static inline std::unique_ptr<tools::TempDir> dir_;
    static inline std::unique_ptr<GpioDevice> device_;
    static inline int fid_ = -1;
};

TEST_F(Gpio, SensorPowerRewritesOnlyTheWrongPowerPattern) {
    struct Case {
        int state;
        uint32_t bits, after;
        bool written;
    };
    for (const Case &c : {Case{0, ON, OFF, true}, Case{0, 0, OFF, true}, Case{0, BOTH, OFF, true},
                          Case{0, OFF, OFF, false}, Case{1, OFF, ON, true}, Case{1, BOTH, ON, true},
                          Case{1, 0, ON, true}, Case{1, ON, ON, false}}) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " bits " << std::hex << c.bits);
        device_->set_output_record(0x12345678, c.bits | OTHER);
        size_t reads = requests(GPIO_REQ_READ_RECORD), writes = requests(GPIO_REQ_WRITE_RECORD);
        sensorPower(&fid_, c.state);
        EXPECT_EQ(requests(GPIO_REQ_READ_RECORD), reads + 1);
        ASSERT_EQ(requests(GPIO_REQ_WRITE_RECORD), writes + c.written);
        EXPECT_EQ(device_->bits(), c.after | OTHER) << "other bits untouched";
        if (c.written) {
            EXPECT_EQ(arg_u32(device_->requests().back().arg, 0), 0x12345678u) << "first word as read";
        }
    }
    device_->set_output_record(0, ON);
    device_->fail_requests(GPIO_REQ_READ_RECORD);
    size_t writes = requests(GPIO_REQ_WRITE_RECORD);
    sensorPower(&fid_, 0);
    EXPECT_EQ(requests(GPIO_REQ_WRITE_RECORD), writes) << "nothing written after a failed read";
    EXPECT_EQ(device_->bits(), ON);
}

TEST_F(Gpio, TheTemperatureIsReadAndTracedOnTheEleventhCallOnly) {
    size_t before = requests(GPIO_REQ_READ_TEMPERATURE);  // call until it reads: the count starts over
    for (int i = 0; i < 11 && requests(GPIO_REQ_READ_TEMPERATURE) == before; ++i) readTemperature(&fid_);
    ASSERT_EQ(requests(GPIO_REQ_READ_TEMPERATURE), before + 1);
    set_tracing(true, true);
    struct Case {
        uint8_t raw;
        bool fail;
        const char *line;
    };
    for (const Case &c : {Case{0, false, "TEMPERATURE: 0\n"}, Case{50, false, "TEMPERATURE: 25\n"},
                          Case{51, false, "TEMPERATURE: 25,5\n"}, Case{255, false, "TEMPERATURE: 127,5\n"},
                          Case{50, true, "TEMPERATURE: ioctl Error\n"}}) {
        device_->set_temperature(c.raw);
        if (c.fail) device_->fail_requests(GPIO_REQ_READ_TEMPERATURE);
        before = requests(GPIO_REQ_READ_TEMPERATURE);
        EXPECT_EQ(stdout_of([] {
                      for (int i = 0; i < 10; ++i) readTemperature(&fid_);
                  }),
                  "");
        EXPECT_EQ(requests(GPIO_REQ_READ_TEMPERATURE), before);
        EXPECT_EQ(stdout_of([] { readTemperature(&fid_); }), c.line);
        EXPECT_EQ(syslog_records(), Lines{c.line});
        EXPECT_EQ(requests(GPIO_REQ_READ_TEMPERATURE), before + 1);
    }
}

}  // namespace
