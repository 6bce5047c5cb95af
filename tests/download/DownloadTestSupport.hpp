#pragma once
// Helpers shared by the download tests: byte literals, a working directory of their
// own for the logs, shortened timings and a scripted unit on a socketpair.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <thread>

#include "common/Bytes.hpp"
#include "download/DownloadTimings.hpp"
#include "link/UnitConnection.hpp"
#include "support/TestDirectory.hpp"

namespace serwer {

inline Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

inline Bytes Repeat(std::size_t count, int value) { return Bytes(count, static_cast<char>(value)); }

inline std::string ReadWholeFile(const std::string& path) { return ReadFile(path); }

// Every wait cut short; the limits stay generous unless a test is about them.
inline DownloadTimings FastTimings() {
    using std::chrono::milliseconds;
    DownloadTimings t;
    t.pauseBeforeDumpRequest = milliseconds(0);
    t.pauseAfterDumpRequest = milliseconds(0);
    t.passWait = milliseconds(20);
    t.repeatPreWait = milliseconds(10);
    t.repeatDeadline = milliseconds(10000);
    t.erasePause = milliseconds(0);
    t.eraseDeadline = milliseconds(10000);
    return t;
}

// Runs each test in a fresh directory, where the logs it writes land.
class InFreshDirectory : public ::testing::Test {
protected:
    std::string Log(const std::string& name) const { return ReadFile(dir_ + "/" + name); }

    TestDirectory tmp_{TestDirectory::Enter::Yes};
    const std::string dir_ = tmp_.Path().string();
};

// The unit's end of a socketpair, driven by a script on a thread of its own. Reads give
// up after a few seconds so that a server that never sends cannot hang a test.
class UnitEnd {
public:
    explicit UnitEnd(int fd) : fd_(fd) {}
    Bytes Read(std::size_t n) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            char buf[4096];
            const ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0) break;
            out.append(buf, static_cast<std::size_t>(got));
        }
        return out;
    }
    // False once the server side has gone.
    bool Write(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Waits until the server side closes (or a few seconds pass).
    void AwaitClose() {
        while (!Read(1).empty()) {
        }
    }
    void HangUp() { ::shutdown(fd_, SHUT_RDWR); }

private:
    int fd_;
};

class ScriptedUnit {
public:
    explicit ScriptedUnit(std::function<void(UnitEnd&)> script) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        unitFd_ = fds[1];
        connection_ = std::make_unique<UnitConnection>(fds[0]);
        thread_ = std::thread([this, script] {
            UnitEnd end(unitFd_);
            script(end);
        });
    }
    ~ScriptedUnit() {
        connection_->Disconnect();
        if (thread_.joinable()) thread_.join();
        ::close(unitFd_);
    }
    UnitConnection& Connection() { return *connection_; }
    // Lets the script finish: the server side hangs up.
    void Finish() {
        connection_->Disconnect();
        if (thread_.joinable()) thread_.join();
    }

private:
    int unitFd_ = -1;
    std::unique_ptr<UnitConnection> connection_;
    std::thread thread_;
};

}  // namespace serwer
