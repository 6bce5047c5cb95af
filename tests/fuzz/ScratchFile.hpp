#pragma once
// A file in a fresh directory of this process's own, for targets whose function reads
// from a path. Each input is written over the previous one; the directory goes at exit.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace serwer {

class ScratchFile {
public:
    explicit ScratchFile(const char* name) {
        // Memory-backed where there is one: the file is rewritten for every input.
        char shm[] = "/dev/shm/serwer_fuzz.XXXXXX";
        char tmp[] = "/tmp/serwer_fuzz.XXXXXX";
        const char* dir = ::mkdtemp(shm);
        if (!dir) dir = ::mkdtemp(tmp);
        if (!dir) std::abort();
        directory_ = dir;
        path_ = directory_ + "/" + name;
    }
    ~ScratchFile() {
        std::remove(path_.c_str());
        ::rmdir(directory_.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& Path() const { return path_; }

    void Write(const std::string& content) const {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        if (!f) std::abort();
        if (!content.empty() && std::fwrite(content.data(), 1, content.size(), f) != content.size()) std::abort();
        if (std::fclose(f) != 0) std::abort();
    }

private:
    std::string directory_;
    std::string path_;
};

}  // namespace serwer
