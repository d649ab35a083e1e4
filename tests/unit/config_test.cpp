// The configuration file: defaults, and a file that breaks off in the middle
// (the dump it switches on is checked end to end, tests/e2e).
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "hub_cfg.h"
#include "hub_test.h"
#include "temp_dir.h"

namespace {

// Reads the file in a scratch directory; the test build names a relative path.
class ConfigFile : public HubTest {
protected:
    void SetUp() override {
        HubTest::SetUp();
        ASSERT_NE(hub_config_file()[0], '/') << "configure with -DHUB_CONFIG_FILE=hub.conf";
        ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override {
        if (cwd_[0] != '\0' && chdir(cwd_) != 0) ADD_FAILURE() << "cannot go back to " << cwd_;
        HubTest::TearDown();
    }
    std::string read(const std::string &text) {
        hub_reset_configuration();
        if (!text.empty()) {
            std::filesystem::path file = std::filesystem::path(dir_.path()) / hub_config_file();
            std::filesystem::create_directories(file.parent_path());
            hubtest::write_text_file(file.string(), text);
        }
        return stdout_of([] { hub_read_configuration(); });
    }
    static const char *path(const char *p) { return p ? p : "(null)"; }

    hubtest::TempDir dir_;
    char cwd_[PATH_MAX] = {};
};

TEST_F(ConfigFile, WithoutAFileEveryFieldKeepsItsDefaultAndNothingIsDumped) {
    EXPECT_EQ(read(""), "");
    EXPECT_EQ(syslog_records(), Lines{});
    const HubConfig &c = Hub_Config;
    EXPECT_EQ(c.verbose + c.syslog + c.simulator + c.temperature + c.display, 0);
    EXPECT_STREQ(path(c.canDevice), "(null)");
    EXPECT_STREQ(path(c.gpioDevice), "(null)");
    EXPECT_EQ(std::vector<long>({c.serverPort, c.pollTime, c.pollTime_calibration}), std::vector<long>({60000, 2, 10}));
}

TEST_F(ConfigFile, ASyntaxErrorKeepsTheAssignmentsBeforeIt) {
    EXPECT_EQ(read("simulator = true\nserverPort = 61000\ncanDevice = \"/dev/can0\"\npollTime = = 5\n"
                   "pollTime_calibration = 20\ngpioDevice = \"/dev/gpio\"\n"),
              "");
    EXPECT_TRUE(Hub_Config.simulator);
    EXPECT_EQ(Hub_Config.serverPort, 61000);
    EXPECT_STREQ(path(Hub_Config.canDevice), "/dev/can0");
    EXPECT_EQ(Hub_Config.pollTime, 2);
    EXPECT_EQ(Hub_Config.pollTime_calibration, 10);
    EXPECT_STREQ(path(Hub_Config.gpioDevice), "(null)");
}

}  // namespace
