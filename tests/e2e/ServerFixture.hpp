#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "link/ConnectionHandler.hpp"
#include "link/ConnectionServer.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

// A server on a free loopback port, working in a fresh directory (the logs go to the
// working directory), with the long waits shortened.
class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        context_.timings.closingWait = std::chrono::milliseconds(50);
        context_.timings.download.pauseBeforeDumpRequest = std::chrono::milliseconds(10);
        context_.timings.download.pauseAfterDumpRequest = std::chrono::milliseconds(5);
        context_.timings.download.passWait = std::chrono::milliseconds(20);
        context_.timings.download.repeatPreWait = std::chrono::milliseconds(20);
        context_.timings.download.erasePause = std::chrono::milliseconds(20);
    }

    // The server stops before the directory it writes to is left and removed.
    void TearDown() override { server_.reset(); }

    void StartServer() {
        handler_ = std::make_unique<ConnectionHandler>(context_);
        server_ = std::make_unique<ConnectionServer>(ConnectionServer::Events{
            [this](UnitConnection& c) { handler_->IdTCPServer1Connect(c); },
            [this](UnitConnection& c) { handler_->IdTCPServer1Execute(c); }});
        context_.openConnectionCount = [this] { return server_->OpenConnectionCount(); };
        server_->Start("0");
    }

    // Sends one stuffed record and waits until the server has closed the connection.
    Bytes SendPosition(const Bytes& record) {
        SimulatedUnit unit("127.0.0.1", server_->Port());
        unit.SendPosition(record);
        Bytes got = unit.WaitForClose(std::chrono::seconds(20));
        EXPECT_TRUE(unit.Closed());
        return got;
    }

    void SendRawAndWait(const Bytes& raw) {
        SimulatedUnit unit("127.0.0.1", server_->Port());
        unit.SendRaw(raw);
        unit.WaitForClose(std::chrono::seconds(20));
        EXPECT_TRUE(unit.Closed());
    }

    // The connection thread may still be finishing after the unit saw the close.
    void WaitForIdle() {
        for (int i = 0; i < 2000 && server_->OpenConnectionCount() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    static std::string Read(const std::string& path) { return ReadFile(path); }

    static PositionOptions Sample(const std::string& registration = "WA12345") {
        PositionOptions o;
        o.registration = registration;
        o.ownerCode = ParseOwnerCode("001A2B3C4D5E6F70");
        o.day = 8, o.month = 12, o.year = 2026, o.hour = 13, o.minute = 45;
        o.latitude = {52, 12, 345};
        o.longitude = {21, 1, 234};
        o.hemisphere = 0;
        o.gpsStatus = 'A';
        o.speedHundredths = 1234;
        o.fuelSensorType = 0;
        o.fuelReading = 84;
        o.engine = true;
        o.input1 = true;
        o.odometerHundredsKm = 1234;
        return o;
    }

    // First member, so the directory is left and removed after everything else is gone.
    TestDirectory tmp_{TestDirectory::Enter::Yes};
    const std::filesystem::path dir_ = tmp_.Path();
    HandlerContext context_;
    std::unique_ptr<ConnectionHandler> handler_;
    std::unique_ptr<ConnectionServer> server_;
};
