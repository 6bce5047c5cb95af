#pragma once
#include <memory>
#include <optional>
#include <string>

#include "app/Settings.hpp"
#include "server/PositioningServer.hpp"
#include "web/WebService.hpp"

namespace serwer {

// The server's setup from the settings both programs read at start; the decimal
// separator is the one the program read from the numeric locale.
ServerSetup ServerSetupFromSettings(const Settings& settings, char decimalSeparator);

// The HTTP service of [Www] beside the server; none when its Port is empty.
std::unique_ptr<WebService> WebServiceFromSettings(PositioningServer& server, const Settings& settings);

// Starts the service. When it cannot start (an open address without a password, a bad
// or busy port) it stays off, the reason goes to err.txt and is returned (Windows-1250);
// the units are served all the same.
std::optional<std::string> StartWebService(WebService& web);

}  // namespace serwer
