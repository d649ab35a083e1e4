// The hub's configuration: one libconfuse file read once at start-up into
// `Hub_Config`, then read without locks by every thread.
#pragma once

#include <confuse.h>

// Ten fields bound directly to the parser's simple options. Switches are
// libconfuse booleans (32-bit, 0 = false); the numbers are libconfuse integers
// (`long`, as libconfuse stores them; 32-bit on the board); the paths are allocated by the parser and
// stay null when the file does not set them.
struct HubConfig {
    cfg_bool_t verbose;
    cfg_bool_t syslog;
    cfg_bool_t simulator;
    cfg_bool_t temperature;
    cfg_bool_t display;
    char *canDevice;
    char *gpioDevice;
    long serverPort;
    long pollTime;
    long pollTime_calibration;
};

static_assert(sizeof(cfg_bool_t) == 4, "switches are 32-bit words");

extern HubConfig Hub_Config;

// Parses the configuration file into Hub_Config and dumps it to the outputs
// the file itself switches on. A missing file or a syntax error leaves every
// field the parser did not reach at its default.
void hub_read_configuration();

// Releases the parser context and the canDevice string. Start-up never calls
// it: the hub runs until it is killed.
void hub_close_configuration();

// Restores the defaults; for tests that read several files in one process.
void hub_reset_configuration();

// The file the hub reads, fixed at build time.
const char *hub_config_file();
