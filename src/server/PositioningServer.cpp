#include "server/PositioningServer.hpp"

#include "server/StaleTemporaryFiles.hpp"

namespace serwer {

namespace {

ConnectionServer::Events HandlerEvents(ConnectionHandler& handler) {
    return {[&handler](UnitConnection& c) { handler.IdTCPServer1Connect(c); },
            [&handler](UnitConnection& c) { handler.IdTCPServer1Execute(c); }};
}

}  // namespace

PositioningServer::PositioningServer(const ServerSetup& setup)
    : handler_(context_), server_(HandlerEvents(handler_), setup.threadStackSize) {
    context_.allowList = setup.allowList;
    context_.serviceMode = setup.serviceMode;
    context_.dataDirectory = setup.dataDirectory;
    context_.decimalSeparator = setup.decimalSeparator;
    context_.timings = setup.timings;
    context_.readsEnabled = setup.readsEnabled;
    context_.eraseEnabled = setup.eraseEnabled;
    context_.readHourIndex = setup.readHourIndex;
    context_.display = setup.display;
    context_.openConnectionCount = [this] { return server_.OpenConnectionCount(); };
}

PositioningServer::~PositioningServer() { server_.Stop(); }

bool PositioningServer::LoadVehicleTable() {
    RemoveStaleTemporaryFiles(context_.dataDirectory);
    return LoadVehicleTableAtStart(context_.tableLock, context_.dataDirectory);
}

void PositioningServer::Start(const std::string& portText) { server_.Start(portText); }

void PositioningServer::Stop() { server_.Stop(); }

}  // namespace serwer
