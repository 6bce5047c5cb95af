#include "app/ServerSetupFromSettings.hpp"

#include <exception>

#include "logs/EventLog.hpp"

namespace serwer {

ServerSetup ServerSetupFromSettings(const Settings& settings, char decimalSeparator) {
    ServerSetup setup;
    setup.allowList = settings.allowList;
    setup.ownerCodeAllowList = settings.ownerCodeAllowList;
    setup.newVehiclesPerHour = settings.newVehiclesPerHour;
    setup.readMemoryBudget = settings.readMemoryBudget;
    setup.diskReserve = settings.diskReserve;
    setup.serviceMode = settings.serviceMode;
    setup.dataDirectory = settings.dataDirectory;
    setup.decimalSeparator = decimalSeparator;
    setup.readsEnabled = settings.readsEnabled;
    setup.eraseEnabled = settings.erase;
    setup.readHourIndex = settings.readHourIndex;
    setup.historyDays = settings.historyDays;
    setup.database = settings.database;
    setup.serverName = settings.serverName;
    if (settings.events.enabled) setup.events = settings.events;
    if (settings.events.enabled) setup.notifications = settings.notifications;
    setup.tableSaveInterval = std::chrono::milliseconds(settings.tableSaveIntervalMs);
    setup.tableEarlySaveChanges = static_cast<std::uint64_t>(settings.tableEarlySaveChanges);
    return setup;
}

}  // namespace serwer

namespace serwer {

std::unique_ptr<WebService> WebServiceFromSettings(PositioningServer& server, const Settings& settings) {
    if (!settings.www.Enabled()) return nullptr;
    WebSettings www = settings.www;
    www.reports = settings.reports;
    www.accountsFile = settings.dataDirectory + "/konta.db";
    www.accountsDatabase = settings.database;
    return std::make_unique<WebService>(server, www);
}

std::optional<std::string> StartWebService(WebService& web) {
    try {
        web.Start();
        return std::nullopt;
    } catch (const std::exception& e) {
        const std::string why = e.what();
        try {
            WriteLog(why, "err.txt");
        } catch (...) {
        }
        return why;
    }
}

}  // namespace serwer
