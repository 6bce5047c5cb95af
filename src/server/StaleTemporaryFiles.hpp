#pragma once
#include <string>

namespace serwer {

// The vehicle file and the archives are written under a temporary name beside their
// final one, the durable writer's "<final name>.tmp<process id>_<serial>", and renamed when complete; a
// process killed meanwhile leaves the temporary file behind. This removes such files
// of Aktualne.txt in the data directory and of .sve archives in the data directory
// and its subdirectories (one level: the per-owner archive directories). Nothing else
// is touched, and a file that cannot be removed is left as it is. Only for the start,
// before anything is written: one data directory belongs to one server.
// Returns the number of files removed.
int RemoveStaleTemporaryFiles(const std::string& dataDirectory);

}  // namespace serwer
