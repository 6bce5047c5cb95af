#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace serwer {

// Writing a whole file so that it appears complete or not at all, and stays after a
// crash: the content goes to a new temporary file beside the final one, is flushed to
// disk, is given the final name, and the directory is flushed so the name stays too.
// The temporary file never outlives a failed write.

// Whether the final name may already be taken.
enum class Placement {
    Replace,    // an existing file of that name is replaced in one step
    NoReplace,  // the write fails with EEXIST at DurableStep::Place when the name is taken
};

// The step of a write that failed.
enum class DurableStep {
    None,        // no step failed
    Create,      // the temporary file could not be created
    NoFreeName,  // 100 temporary names in a row were taken
    Write,
    Sync,
    Close,
    Place,          // rename, or the exclusive rename or link for NoReplace
    SyncDirectory,  // opening or flushing the directory; the file is in place already
};

struct DurableWriteResult {
    DurableStep failed = DurableStep::None;
    int error = 0;        // errno of the failed step (EEXIST for NoFreeName); 0 on success
    bool placed = false;  // the file has its final name with the whole content

    bool Ok() const { return failed == DurableStep::None; }
};

// Writes content to path as described above. Never throws for a system error; the
// result tells which step failed.
DurableWriteResult WriteDurableFile(const std::string& path, std::string_view content, Placement placement);

// The temporary name of a write to finalName: "<finalName>.tmp<processId>_<serial>".
std::string TemporaryFileName(const std::string& finalName, unsigned long processId, unsigned long serial);

// The final name that name is the temporary of (a path gives a path), or nothing when
// name is no temporary name: the part before the last ".tmp" must not be empty, and
// the part after it must be digits, "_", digits.
std::optional<std::string> FinalNameOfTemporary(std::string_view name);

}  // namespace serwer
