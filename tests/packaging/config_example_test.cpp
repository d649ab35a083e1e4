// The example configuration that is installed beside the hub
// (packaging/hub.conf.example): it parses cleanly, sets every key, and every
// key that has a default is set to the hub's own default.
#include <confuse.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "hub_cfg.h"

namespace {

const char *const KEYS[] = {"verbose",    "syslog",     "simulator",  "temperature", "display",
                            "canDevice",  "gpioDevice", "serverPort", "pollTime",    "pollTime_calibration"};

std::string example_text() {
    std::ifstream in(HUB_CONF_EXAMPLE);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ConfigExample, ParsesWithEveryKeySet) {
    // No defaults here: a key the file leaves out has no value at all.
    cfg_opt_t opts[] = {
        CFG_BOOL("verbose", cfg_false, CFGF_NODEFAULT),       CFG_BOOL("syslog", cfg_false, CFGF_NODEFAULT),
        CFG_BOOL("simulator", cfg_false, CFGF_NODEFAULT),     CFG_BOOL("temperature", cfg_false, CFGF_NODEFAULT),
        CFG_BOOL("display", cfg_false, CFGF_NODEFAULT),       CFG_STR("canDevice", nullptr, CFGF_NODEFAULT),
        CFG_STR("gpioDevice", nullptr, CFGF_NODEFAULT),       CFG_INT("serverPort", 0, CFGF_NODEFAULT),
        CFG_INT("pollTime", 0, CFGF_NODEFAULT),               CFG_INT("pollTime_calibration", 0, CFGF_NODEFAULT),
        CFG_END(),
    };
    cfg_t *cfg = cfg_init(opts, CFGF_NONE);
    // An unknown key or a syntax error fails the parse.
    ASSERT_EQ(cfg_parse(cfg, HUB_CONF_EXAMPLE), CFG_SUCCESS) << HUB_CONF_EXAMPLE;
    for (const char *key : KEYS) EXPECT_EQ(cfg_size(cfg, key), 1u) << key << " is not set";
    cfg_free(cfg);
}

// The hub itself reads the example, from a scratch folder as its hub.conf.
TEST(ConfigExample, HoldsTheHubsDefaults) {
    if (hub_config_file()[0] == '/')
        GTEST_SKIP() << "this build reads " << hub_config_file() << "; configure with -DHUB_CONFIG_FILE=hub.conf";
    hub_reset_configuration();
    const HubConfig defaults = Hub_Config;

    char dir[] = "/tmp/hub-conf-example-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::filesystem::path file = std::filesystem::path(dir) / hub_config_file();
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << example_text();
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    hub_read_configuration();
    const HubConfig read = Hub_Config;
    EXPECT_EQ(chdir(cwd), 0);
    std::filesystem::remove_all(dir);

    EXPECT_EQ(read.verbose, defaults.verbose);
    EXPECT_EQ(read.syslog, defaults.syslog);
    EXPECT_EQ(read.simulator, defaults.simulator);
    EXPECT_EQ(read.temperature, defaults.temperature);
    EXPECT_EQ(read.display, defaults.display);
    EXPECT_EQ(read.serverPort, defaults.serverPort);
    EXPECT_EQ(read.pollTime, defaults.pollTime);
    EXPECT_EQ(read.pollTime_calibration, defaults.pollTime_calibration);
    // The device paths have no default; the example shows where they go.
    ASSERT_NE(read.canDevice, nullptr);
    ASSERT_NE(read.gpioDevice, nullptr);
    EXPECT_EQ(read.canDevice[0], '/');
    EXPECT_EQ(read.gpioDevice[0], '/');
    hub_reset_configuration();
}

// Each key is explained by a comment just above it.
TEST(ConfigExample, ExplainsEveryKey) {
    std::istringstream lines(example_text());
    std::string line, previous;
    for (; std::getline(lines, line); previous = line) {
        for (const char *key : KEYS) {
            if (line.rfind(std::string(key) + " = ", 0) == 0) {
                EXPECT_EQ(previous.rfind("# ", 0), 0u) << key;
            }
        }
    }
}

}  // namespace
