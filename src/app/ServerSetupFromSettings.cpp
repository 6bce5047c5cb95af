#include "app/ServerSetupFromSettings.hpp"

ServerSetup ServerSetupFromSettings(const Settings& settings, char decimalSeparator) {
    ServerSetup setup;
    setup.allowList = settings.allowList;
    setup.serviceMode = settings.serviceMode;
    setup.dataDirectory = settings.dataDirectory;
    setup.decimalSeparator = decimalSeparator;
    setup.readsEnabled = settings.readsEnabled;
    setup.eraseEnabled = settings.erase;
    setup.readHourIndex = settings.readHourIndex;
    return setup;
}
