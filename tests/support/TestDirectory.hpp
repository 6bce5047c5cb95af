#pragma once
// A fresh directory under /tmp for one test, removed with everything in it when the
// test's fixture goes. Code that writes its logs to the working directory is tested
// from inside one (Enter::Yes).
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace serwer {

class TestDirectory {
public:
    enum class Enter { No, Yes };

    explicit TestDirectory(Enter enter = Enter::No) {
        char pattern[] = "/tmp/serwer-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        if (enter == Enter::Yes) {
            std::error_code ec;
            previous_ = std::filesystem::current_path(ec);
            if (!ec) std::filesystem::current_path(path_, ec);
            if (ec) {
                previous_.clear();
                std::filesystem::remove_all(path_, ec);
                throw std::runtime_error("cannot enter " + path_.string());
            }
        }
    }

    ~TestDirectory() {
        std::error_code ec;
        if (!previous_.empty()) std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(path_, ec);
    }

    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;  // empty unless the directory was entered
};

// The whole file as bytes; empty when it cannot be opened.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace serwer
