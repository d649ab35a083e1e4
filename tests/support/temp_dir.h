// A fresh directory for one test, removed with everything in it at the end.
#pragma once

#include <string>

namespace hubtest {

class TempDir {
public:
    // Under $TMPDIR (or /tmp when that is unset or too long for the device
    // socket paths tests put inside), named <prefix>-XXXXXX.
    explicit TempDir(const std::string &prefix = "hub-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `text` to `path` (created or truncated) with exactly that mode.
void write_text_file(const std::string &path, const std::string &text, unsigned mode = 0644);
// The whole file; empty when it does not exist.
std::string read_text_file(const std::string &path);

}  // namespace hubtest
