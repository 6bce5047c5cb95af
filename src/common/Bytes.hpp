#pragma once
#include <string>

namespace serwer {

// Everything that travels on the link or into a file is an 8-bit byte string.
// Text inside the server is Windows-1250 bytes held the same way.
using Bytes = std::string;

}  // namespace serwer
