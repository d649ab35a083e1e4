#include "temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace hubtest {
namespace {

// Unix socket paths hold at most 107 bytes; leave room for the names inside.
constexpr size_t MAX_BASE_LENGTH = 60;

std::string temp_base() {
    const char *base = std::getenv("TMPDIR");
    if (base != nullptr && *base != '\0' && std::char_traits<char>::length(base) <= MAX_BASE_LENGTH) return base;
    return "/tmp";
}

}  // namespace

TempDir::TempDir(const std::string &prefix) {
    std::string pattern = temp_base() + "/" + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_text_file(const std::string &path, const std::string &text, unsigned mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            throw std::system_error(err, std::generic_category(), "write " + path);
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, mode);  // open's mode is masked by the umask; a stub must be executable
    close(fd);
}

std::string read_text_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace hubtest
