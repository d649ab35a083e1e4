// Any file as the hub's configuration (read, dumped, reset), written in a
// temporary directory that is the working directory only while it is parsed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hub_cfg.h"
#include "platform/trace.h"

namespace {

std::string work_dir;
int work_fd = -1, start_fd = -1;  // the temporary directory, and where the fuzzer started

__attribute__((format(printf, 1, 0))) void format_syslog(const char *fmt, va_list ap) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, ap);
}

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "fuzz_config: %s: %s\n", what, strerror(errno));
    exit(1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (strchr(hub_config_file(), '/') != nullptr) die("HUB_CONFIG_FILE must be a plain relative name");
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/hub-fuzz-conf-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) die("temporary directory");
    work_dir = templ;
    atexit([] {
        unlink((work_dir + "/" + hub_config_file()).c_str());
        rmdir(work_dir.c_str());
    });
    work_fd = open(templ.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    start_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    trace_open();
    int null_fd = open("/dev/null", O_WRONLY);
    if (work_fd < 0 || start_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) die("descriptors");
    close(null_fd);
    trace_set_syslog_writer(format_syslog);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (fchdir(work_fd) != 0) abort();
    FILE *f = fopen(hub_config_file(), "wb");
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size)) abort();
    fclose(f);
    hub_read_configuration();
    hub_reset_configuration();
    if (fchdir(start_fd) != 0) abort();
    return 0;
}
