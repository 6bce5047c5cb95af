#pragma once
#include <stdexcept>
#include <string>

namespace serwer {

// A failure that carries the message text the rest of the server logs or shows.
// The message is Windows-1250 bytes like every other text of the core.
class ServerError : public std::runtime_error {
public:
    explicit ServerError(const std::string& message) : std::runtime_error(message) {}
};

// A value that could not be converted (bad BCD digit, bad date, bad number in a file).
class ConversionError : public ServerError {
public:
    using ServerError::ServerError;
};

}  // namespace serwer
