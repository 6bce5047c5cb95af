#pragma once
#include "app/Settings.hpp"
#include "server/PositioningServer.hpp"

namespace serwer {

// The server's setup from the settings both programs read at start; the decimal
// separator is the one the program read from the numeric locale.
ServerSetup ServerSetupFromSettings(const Settings& settings, char decimalSeparator);

}  // namespace serwer
