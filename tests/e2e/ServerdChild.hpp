#pragma once
// serwerd as a child process of the test, started from a copy beside its serwer.ini.
// Its standard output comes back through a pipe, so the test learns the listening
// port as soon as serwerd prints it; its standard error goes to stderr.txt in its
// directory (err.txt is one of the server's own logs).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace serwer {

class ServerdChild {
public:
    ServerdChild() = default;
    ~ServerdChild() { Kill(); }
    ServerdChild(const ServerdChild&) = delete;
    ServerdChild& operator=(const ServerdChild&) = delete;

    // Puts a copy of the built serwerd into dir, with a serwer.ini beside it holding the
    // section [Ustawienia] with `settings` (lines ending in "\n").
    static void Install(const std::filesystem::path& dir, const std::string& settings) {
        std::filesystem::copy_file(std::filesystem::path(SERWER_BIN_DIR) / "serwerd", dir / "serwerd");
        std::ofstream(dir / "serwer.ini") << "[Ustawienia]\n" << settings;
    }

    // Starts dir/serwerd in dir with `argument` as its first argument (none when empty).
    // beforeExec, when given, runs in the child just before the program is executed
    // (async-signal-safe calls only); a non-zero result ends the child with that code.
    bool Start(const std::filesystem::path& dir, const std::string& argument,
               const std::function<int()>& beforeExec = {}) {
        return StartProgram("./serwerd", dir, argument.empty() ? std::vector<std::string>{} : std::vector{argument},
                            beforeExec);
    }

    // Starts `program` (a path; relative ones from dir) in dir with the arguments given;
    // its standard error goes to dir/stderr.txt as with Start.
    bool StartProgram(const std::filesystem::path& program, const std::filesystem::path& dir,
                      const std::vector<std::string>& args, const std::function<int()>& beforeExec = {}) {
        Kill();
        std::vector<std::string> words{"serwerd"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const std::string programPath = program.string();
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return false;
        const std::string directory = dir.string();
        const std::string errPath = (dir / "stderr.txt").string();
        pid_ = ::fork();
        if (pid_ < 0) {
            ::close(out[0]);
            ::close(out[1]);
            return false;
        }
        if (pid_ == 0) {
            if (beforeExec) {
                const int code = beforeExec();
                if (code != 0) _exit(code);
            }
            if (::chdir(directory.c_str()) != 0) _exit(99);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err, 2) < 0) _exit(99);
            ::execv(programPath.c_str(), argv.data());
            _exit(98);
        }
        ::close(out[1]);
        out_ = out[0];
        printed_.clear();
        return true;
    }

    // The port from serwerd's "listening on port N" line; 0 when the process ended or
    // the limit passed first.
    int WaitForPort(std::chrono::milliseconds limit) { return WaitForNumberAfter("listening on port ", limit); }

    // The number after `marker` in what serwerd printed ("www on port " gives the HTTP
    // service's port); 0 when the process ended or the limit passed first.
    int WaitForNumberAfter(const std::string& marker, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (out_ >= 0) {
            const auto at = printed_.find(marker);
            if (at != std::string::npos && printed_.find('\n', at) != std::string::npos)
                return std::stoi(printed_.substr(at + marker.size()));
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return 0;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[512];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0)
                CloseOutput();
            else
                printed_.append(chunk, static_cast<std::size_t>(n));
        }
        return 0;
    }

    // SIGKILL and reap; returns the raw wait status (-1 when nothing was running).
    int Kill() {
        CloseOutput();
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGKILL);
        int status = -1;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    // Reaps the child when it has ended on its own; returns its raw wait status, or -1
    // while it still runs (or when none was started).
    int Ended() {
        if (pid_ <= 0) return -1;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return -1;
        pid_ = -1;
        CloseOutput();
        return status;
    }

    // Waits for the child to end; returns its exit code, 128 + the number of the signal
    // that ended it, or -1 when it still runs at the limit.
    int WaitForExit(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const int status = Ended();
            if (status != -1) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (std::chrono::steady_clock::now() >= end) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    bool Signal(int signal) const { return pid_ > 0 && ::kill(pid_, signal) == 0; }

    // True while the child runs (an ended one is reaped).
    bool Running() { return Ended() == -1 && pid_ > 0; }

    pid_t Pid() const { return pid_; }
    const std::string& Printed() const { return printed_; }

private:
    void CloseOutput() {
        if (out_ >= 0) ::close(out_);
        out_ = -1;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string printed_;
};

}  // namespace serwer
