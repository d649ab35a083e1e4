#include "hub_cfg.h"

#include <cstdio>
#include <cstdlib>

#include "platform/trace.h"

#ifndef HUB_CONFIG_FILE
#define HUB_CONFIG_FILE "/mnt/nand/conf/hub.conf"
#endif

namespace {

constexpr HubConfig kDefaults = {
    cfg_false, cfg_false, cfg_false, cfg_false, cfg_false, nullptr, nullptr, 60000, 2, 10,
};

// Each option writes straight into its field; libconfuse gives simple options
// no defaults of their own, so an unset key keeps the record's initial value.
cfg_opt_t Opts[] = {
    CFG_SIMPLE_BOOL("verbose", &Hub_Config.verbose),
    CFG_SIMPLE_BOOL("syslog", &Hub_Config.syslog),
    CFG_SIMPLE_BOOL("simulator", &Hub_Config.simulator),
    CFG_SIMPLE_BOOL("temperature", &Hub_Config.temperature),
    CFG_SIMPLE_BOOL("display", &Hub_Config.display),
    CFG_SIMPLE_STR("canDevice", &Hub_Config.canDevice),
    CFG_SIMPLE_STR("gpioDevice", &Hub_Config.gpioDevice),
    CFG_SIMPLE_INT("serverPort", &Hub_Config.serverPort),
    CFG_SIMPLE_INT("pollTime", &Hub_Config.pollTime),
    CFG_SIMPLE_INT("pollTime_calibration", &Hub_Config.pollTime_calibration),
    CFG_END(),
};

cfg_t *HubCfg = nullptr;

const char *yes_no(cfg_bool_t b) { return b ? "true" : "false"; }

// A path the file does not set is shown as "(not set)".
const char *path_text(const char *p) { return p ? p : "(not set)"; }

using DumpLine = void (*)(const char *fmt, ...);

void dump_to(void (*out)(const char *fmt, ...) HUB_PRINTF(1, 2)) {
    const HubConfig &c = Hub_Config;
    out("Configuration:\n");
    out("verbose: %s\n", yes_no(c.verbose));
    out("syslog: %s\n", yes_no(c.syslog));
    out("simulator: %s\n", yes_no(c.simulator));
    out("temperature: %s\n", yes_no(c.temperature));
    out("display: %s\n", yes_no(c.display));
    out("canDevice: %s\n", path_text(c.canDevice));
    out("gpioDevice: %s\n", path_text(c.gpioDevice));
    out("serverPort: %d\n", static_cast<int>(c.serverPort));
    out("pollTime: %d\n", static_cast<int>(c.pollTime));
    out("pollTime_calibration: %d\n", static_cast<int>(c.pollTime_calibration));
}

}  // namespace

HubConfig Hub_Config = kDefaults;

const char *hub_config_file() { return HUB_CONFIG_FILE; }

void hub_read_configuration() {
    HubCfg = cfg_init(Opts, CFGF_NONE);
    // A missing file or a bad line leaves the unreached fields at their
    // defaults; libconfuse reports syntax errors itself.
    cfg_parse(HubCfg, hub_config_file());

    if (Hub_Config.verbose) dump_to(console);
    if (Hub_Config.syslog) dump_to(trace_syslog_piece);
}

void hub_close_configuration() {
    cfg_free(HubCfg);
    HubCfg = nullptr;
    free(Hub_Config.canDevice);
    Hub_Config.canDevice = nullptr;
}

void hub_reset_configuration() {
    if (HubCfg) cfg_free(HubCfg);
    HubCfg = nullptr;
    free(Hub_Config.canDevice);
    free(Hub_Config.gpioDevice);
    Hub_Config = kDefaults;
}
