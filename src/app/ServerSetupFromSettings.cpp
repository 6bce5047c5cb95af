#include "app/ServerSetupFromSettings.hpp"

namespace serwer {

ServerSetup ServerSetupFromSettings(const Settings& settings, char decimalSeparator) {
    ServerSetup setup;
    setup.allowList = settings.allowList;
    setup.serviceMode = settings.serviceMode;
    setup.dataDirectory = settings.dataDirectory;
    setup.decimalSeparator = decimalSeparator;
    setup.readsEnabled = settings.readsEnabled;
    setup.eraseEnabled = settings.erase;
    setup.readHourIndex = settings.readHourIndex;
    setup.historyDays = settings.historyDays;
    return setup;
}

}  // namespace serwer
