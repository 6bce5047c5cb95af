#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "server/PositioningServer.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

namespace serwer {

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

    void StartServer() { server_->Start("0"); }

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

    // First member, so the directory is left and removed after everything else is gone.
    TestDirectory tmp_{TestDirectory::Enter::Yes};
    const std::filesystem::path dir_ = tmp_.Path();
    std::unique_ptr<PositioningServer> server_ = std::make_unique<PositioningServer>();
    HandlerContext& context_ = server_->Context();
};

}  // namespace serwer
