// The configuration dump goes to the outputs it switches on (its text, the
// defaults and key names are checked by tests/packaging through the hub).
#include <unistd.h>

#include <climits>

#include "hub_cfg.h"
#include "hub_test.h"
#include "temp_dir.h"

namespace {

using ConfigFile = HubTest;

TEST_F(ConfigFile, TheDumpGoesToStandardOutputWithVerboseAndToTheLogWithSyslog) {
    ASSERT_EQ(std::string(hub_config_file()).find('/'), std::string::npos) << "configure with -DHUB_CONFIG_FILE=hub.conf";
    hubtest::TempDir dir;
    char cwd[PATH_MAX];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir(dir.path().c_str()) == 0);
    for (auto [text, to_stdout, to_log] : {std::tuple{"verbose = true\n", true, false},
                                           {"syslog = true\n", false, true}, {"", false, false}}) {
        hubtest::write_text_file(dir.file(hub_config_file()), text);
        hub_reset_configuration();
        std::string out = stdout_of([] { hub_read_configuration(); });
        EXPECT_EQ(out.rfind("Configuration:\nverbose: ", 0) == 0, to_stdout) << text << out;
        Lines log = syslog_records();
        EXPECT_EQ(log.size(), to_log ? 11u : 0u) << text;
    }
    EXPECT_EQ(chdir(cwd), 0);
}

}  // namespace
