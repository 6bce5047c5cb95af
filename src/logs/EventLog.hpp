#pragma once
#include <string>

namespace serwer {

// The event logs: plain files in the process's working directory, each entry being
//   time stamp, LF, message bytes exactly as given, CR LF.
// Any thread may call WriteLog; appends to one file take turns, so entries never
// interleave. Every entry is in the file when the call returns.
//
// The file name must be a plain name: one that holds a character that a Windows file
// name cannot hold (\ / : * ? " < > | or a control character), or is empty, "." or
// "..", is refused with ServerError, like a file the system cannot create. So no byte
// a unit sends can make the server write outside the working directory.
void WriteLog(const std::string& message, const std::string& fileName);

// True when name can be used as a file name (see above).
bool IsSafeFileName(const std::string& name);

// The time stamp of an entry for this moment (exposed for tests).
std::string LogTimeStamp();

}  // namespace serwer
