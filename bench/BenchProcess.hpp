#pragma once
// Helpers shared by the load benchmark and the soak program: a server process of its
// own (so its memory can be read cleanly from /proc), the descriptor limit, and a
// follower of lock.txt that tells when a position has been stored.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace serwer {

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double Max(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// The share q (0..1) of the sorted values, nearest rank.
inline double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())));
    return v[i];
}

// Soft descriptor limit up to the hard one; returns the new soft limit.
inline long RaiseDescriptorLimit() {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
    return static_cast<long>(rl.rlim_cur);
}

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A field of /proc/<pid>/status in its first unit (kB for the memory lines); -1 when
// the process is gone.
inline long StatusField(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}
inline long ResidentKiB(pid_t pid) { return StatusField(pid, "VmRSS"); }
inline long PeakResidentKiB(pid_t pid) { return StatusField(pid, "VmHWM"); }
inline long ThreadCount(pid_t pid) { return StatusField(pid, "Threads"); }

// User plus system processor time of a process, in seconds.
inline double ProcessorSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = all.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The directory of this executable (serwerd is built beside the benchmarks).
inline std::filesystem::path ExecutableDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

// A child process in `dir` with stdout and stderr sent to stdout.txt and stderr.txt
// there (err.txt is one of the server's own logs).
inline pid_t Spawn(const std::filesystem::path& dir, const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) _exit(99);
        if (!freopen("stdout.txt", "w", stdout) || !freopen("stderr.txt", "w", stderr)) _exit(99);
        ::execv(args[0], args.data());
        _exit(98);
    }
    return pid;
}

// Waits until stdout.txt in `dir` holds "<marker><number>"; returns the number.
inline int WaitForPort(const std::filesystem::path& dir, const std::string& marker,
                       std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        const std::string out = ReadWholeFile(dir / "stdout.txt");
        const auto at = out.find(marker);
        if (at != std::string::npos && out.find('\n', at) != std::string::npos)
            return std::stoi(out.substr(at + marker.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the server did not report its port: " + ReadWholeFile(dir / "stderr.txt"));
}

// Waits for a child to end; returns its exit status (128 + signal), -1 on time-out.
inline int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (Clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// serwerd copied alone into `dir` with serwer.ini beside it (section Ustawienia with
// `iniBody`), started there. Returns its pid; `port` gets the port it listens on.
inline pid_t StartServerd(const std::filesystem::path& dir, const std::string& iniBody, int& port) {
    std::filesystem::copy_file(ExecutableDirectory() / "serwerd", dir / "serwerd",
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(dir / "serwer.ini") << "[Ustawienia]\n" << iniBody;
    const pid_t pid = Spawn(dir, {(dir / "serwerd").string()});
    port = WaitForPort(dir, "listening on port ");
    return pid;
}

// A thread with a small stack (many of them run at once), detached.
inline void StartSmallThread(std::function<void()> work, std::size_t stackBytes = 256u << 10) {
    auto* heapWork = new std::function<void()>(std::move(work));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stackBytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(
        &thread, &attr,
        [](void* arg) -> void* {
            std::unique_ptr<std::function<void()>> w(static_cast<std::function<void()>*>(arg));
            (*w)();
            return nullptr;
        },
        heapWork);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete heapWork;
        throw std::runtime_error("no thread");
    }
}

// Follows the server's lock.txt as it grows: every position stored ends with the line
// "<registration> wyjscie z blokady", written after Aktualne.txt has been saved and
// just before the table lock is released. inotify wakes the follower at each append,
// so the moment a line is seen is within microseconds of its writing.
class LockLogFollower {
public:
    explicit LockLogFollower(const std::filesystem::path& dir) : path_(dir / "lock.txt") {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ < 0) throw std::runtime_error("inotify_init1 failed");
        if (inotify_add_watch(fd_, dir.c_str(), IN_MODIFY | IN_CREATE) < 0)
            throw std::runtime_error("inotify_add_watch failed");
        // Lines written before this point are not counted.
        std::error_code ec;
        offset_ = std::filesystem::exists(path_, ec) ? std::filesystem::file_size(path_, ec) : 0;
    }
    ~LockLogFollower() { ::close(fd_); }
    LockLogFollower(const LockLogFollower&) = delete;
    LockLogFollower& operator=(const LockLogFollower&) = delete;

    // Exit lines seen so far.
    long ExitLines() const { return exits_; }

    // Reads what was appended since the last call; calls `onExit(name)` for every exit
    // line. Waits up to `wait` for an append when nothing new is there.
    void Poll(std::chrono::milliseconds wait, const std::function<void(const std::string&)>& onExit = {}) {
        if (!ReadNew(onExit)) {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(wait.count()));
            Drain();
            ReadNew(onExit);
        } else {
            Drain();
        }
    }

    // Waits until an exit line of `name` appears; returns false after `limit`.
    bool WaitForExitOf(const std::string& name, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        bool seen = false;
        while (!seen && Clock::now() < end)
            Poll(std::chrono::milliseconds(50), [&](const std::string& n) { seen = seen || n == name; });
        return seen;
    }

private:
    void Drain() {
        char buffer[4096];
        while (::read(fd_, buffer, sizeof buffer) > 0) {
        }
    }
    bool ReadNew(const std::function<void(const std::string&)>& onExit) {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        bool any = false;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(offset_));
            if (n <= 0) break;
            offset_ += static_cast<std::size_t>(n);
            pending_.append(buffer, static_cast<std::size_t>(n));
            any = true;
        }
        ::close(fd);
        static const std::string kExit = " wyjscie z blokady";
        std::size_t start = 0;
        for (std::size_t end; (end = pending_.find("\r\n", start)) != std::string::npos; start = end + 2) {
            const std::string_view line(pending_.data() + start, end - start);
            if (line.size() >= kExit.size() && line.substr(line.size() - kExit.size()) == kExit) {
                // The entry is "stamp LF message CR LF": the message follows the LF.
                const auto lf = line.rfind('\n');
                const std::string_view message = lf == std::string_view::npos ? line : line.substr(lf + 1);
                ++exits_;
                if (onExit) onExit(std::string(message.substr(0, message.size() - kExit.size())));
            }
        }
        pending_.erase(0, start);
        return any;
    }

    std::filesystem::path path_;
    int fd_ = -1;
    std::size_t offset_ = 0;
    std::string pending_;
    long exits_ = 0;
};

}  // namespace bench

}  // namespace serwer
