#pragma once
// A private temporary directory that is removed with everything below it.
#include <string>

namespace orvane::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "orvane-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + rel
    std::string file(const std::string& rel) const;

private:
    std::string path_;
};

// Whole-file helpers for tests.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);  // creates parent dirs

}  // namespace orvane::test
