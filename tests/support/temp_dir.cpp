#include "temp_dir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace hubtest {

TempDir::TempDir(const std::string &prefix) {
    // A socket path holds at most 107 bytes: leave room for the names inside.
    const char *base = std::getenv("TMPDIR");
    std::string name = (base && *base && std::string(base).size() <= 60 ? base : "/tmp") + ("/" + prefix + "-XXXXXX");
    if (mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_text_file(const std::string &path, const std::string &text, unsigned mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) throw std::system_error(errno, std::generic_category(), "write " + path);
    chmod(path.c_str(), mode);  // not masked by the umask: a stub must be executable
}

std::string read_text_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace hubtest
