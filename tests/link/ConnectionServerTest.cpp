#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/ServerError.hpp"
#include "link/ConnectionServer.hpp"
#include "link/UnitConnection.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;

namespace {

// A UnitConnection on one end of a socket pair; the test plays the unit on the other.
struct Pair {
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        connection = std::make_unique<UnitConnection>(fds[0]);
        unit = fds[1];
    }
    ~Pair() { CloseUnit(); }
    void Write(const std::string& s) { ASSERT_EQ(::write(unit, s.data(), s.size()), ssize_t(s.size())); }
    void CloseUnit() {
        if (unit >= 0) ::close(unit);
        unit = -1;
    }
    std::unique_ptr<UnitConnection> connection;
    int unit = -1;
};

std::string Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

// A server that counts the units it has served: one byte each, then the disconnect.
ConnectionServer::Events CountServed(std::atomic<int>& served) {
    return {nullptr, [&served](UnitConnection& c) {
                c.ReadExact(1);
                served++;
                c.Disconnect();
            }};
}

// The keep-alive settings (on, idle, interval, count) of this process's accepted TCP
// socket on the port, or all -1 when there is none.
std::vector<int> AcceptedSocketKeepAlive(std::uint16_t port) {
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        int listening = 1;
        socklen_t n = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET ||
            ntohs(a.sin_port) != port || ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &n) != 0 || listening)
            continue;
        std::vector<int> v(4);
        n = sizeof(int);
        ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v[0], &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &v[1], &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &v[2], &n);
        ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &v[3], &n);
        return v;
    }
    return {-1, -1, -1, -1};
}

}  // namespace

TEST(UnitConnection, ReadExactTakesBytesInArrivalOrder) {
    Pair p;
    p.Write("abcdef");
    EXPECT_EQ(p.connection->ReadExact(2), "ab");
    EXPECT_EQ(p.connection->ReadByte(), 'c');
    EXPECT_EQ(p.connection->TakeAllInput(), "def");
    EXPECT_TRUE(p.connection->InputIsEmpty());
}

TEST(UnitConnection, ShortFrameThenCloseFailsButKeepsTheBytesBuffered) {
    Pair p;
    p.Write(std::string(50, 'x'));
    p.CloseUnit();
    EXPECT_EQ(Message([&] { p.connection->ReadExact(128); }), "Connection Closed Gracefully.");
    EXPECT_EQ(p.connection->Buffered(), 50u);
    EXPECT_TRUE(p.connection->IsConnected());  // unread bytes remain
    EXPECT_EQ(p.connection->TakeAllInput().size(), 50u);
    EXPECT_FALSE(p.connection->IsConnected());
}

TEST(UnitConnection, WaitForInputOnASilentConnectionJustReturns) {
    Pair p;
    p.connection->WaitForInput(30);
    EXPECT_TRUE(p.connection->InputIsEmpty());
    EXPECT_TRUE(p.connection->IsConnected());
    p.Write("z");
    p.connection->WaitForInput(1000);
    EXPECT_EQ(p.connection->TakeAllInput(), "z");
}

TEST(UnitConnection, SendAfterDisconnectFailsAsClosed) {
    Pair p;
    p.connection->Send("hello");
    char buf[8];
    EXPECT_EQ(::read(p.unit, buf, sizeof buf), 5);
    p.connection->Disconnect();
    EXPECT_FALSE(p.connection->IsConnected());
    EXPECT_EQ(Message([&] { p.connection->Send("x"); }), "Connection Closed Gracefully.");
    p.connection->Disconnect();  // twice is harmless
}

TEST(UnitConnection, DisconnectFromAnotherThreadWakesABlockedRead) {
    Pair p;
    std::string result;
    std::thread reader([&] { result = Message([&] { p.connection->ReadExact(128); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    p.connection->Disconnect();
    reader.join();
    EXPECT_EQ(result, "Connection Closed Gracefully.");
}

TEST(UnitConnection, ReadDeadlineEndsAWaitingRead) {
    Pair p;
    p.Write("abc");
    p.connection->SetReadDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
    EXPECT_EQ(Message([&] { p.connection->ReadExact(128); }), "Read timed out.");
    EXPECT_EQ(p.connection->Buffered(), 3u);
    p.connection->SetReadDeadline(std::nullopt);
    p.Write(std::string(125, 'y'));
    EXPECT_EQ(p.connection->ReadExact(128).size(), 128u);
}

TEST(ConnectionServer, PortThatIsNotANumberFailsAndTheServerStaysStopped) {
    ConnectionServer server({});
    EXPECT_EQ(Message([&] { server.Start("abc"); }), "'abc' is not a valid integer value");
    EXPECT_EQ(Message([&] { server.Start(""); }), "'' is not a valid integer value");
    EXPECT_FALSE(server.IsActive());
}

TEST(ConnectionServer, PortInUseFailsAndLeavesTheOtherServerServing) {
    std::atomic<int> served{0};
    ConnectionServer first(CountServed(served));
    first.Start("0");
    ConnectionServer second({});
    EXPECT_EQ(Message([&] { second.Start(std::to_string(first.Port())); }),
              "Could not bind socket. Address and port are already in use.");
    EXPECT_FALSE(second.IsActive());
    SimulatedUnit unit("127.0.0.1", first.Port());
    unit.SendRaw("x");
    unit.WaitForClose(std::chrono::seconds(5));
    EXPECT_TRUE(unit.Closed());
    first.Stop();
    EXPECT_EQ(served.load(), 1);
}

TEST(ConnectionServer, SilentUnitDoesNotHoldUpOthersAndStopEndsIt) {
    std::atomic<int> served{0};
    ConnectionServer server(CountServed(served));
    server.Start("0");
    SimulatedUnit silent("127.0.0.1", server.Port());
    for (int i = 0; i < 5; ++i) {
        SimulatedUnit unit("127.0.0.1", server.Port());
        unit.SendRaw("x");
        unit.WaitForClose(std::chrono::seconds(5));
    }
    EXPECT_EQ(served.load(), 5);
    server.Stop();  // wakes the silent unit's thread
    EXPECT_EQ(server.OpenConnectionCount(), 0);
    silent.WaitForClose(std::chrono::seconds(5));
    EXPECT_TRUE(silent.Closed());
}

TEST(ConnectionServer, ExecuteRunsAgainWhileUnreadBytesRemain) {
    std::atomic<int> runs{0};
    ConnectionServer server({nullptr, [&](UnitConnection& c) {
                                 runs++;
                                 c.ReadExact(2);
                                 c.Disconnect();
                             }});
    server.Start("0");
    SimulatedUnit unit("127.0.0.1", server.Port());
    unit.SendRaw("abc");  // the second run finds one byte and fails at once
    unit.WaitForClose(std::chrono::seconds(5));
    for (int i = 0; i < 1000 && server.OpenConnectionCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(runs.load(), 1);
    EXPECT_LE(runs.load(), 2);
    server.Stop();
}

// Units one after another are served by the threads already there (the first unit's
// thread starts one more to wait for the next), and every accepted connection has the
// keep-alive that finds a unit whose link is gone; Stop ends the waiting threads.
TEST(ConnectionServer, UnitsOneAfterAnotherStartNoThreadsAndHaveKeepAlive) {
    std::atomic<int> served{0};
    std::vector<std::vector<int>> keepAlive;
    ConnectionServer* self = nullptr;
    ConnectionServer server({nullptr, [&](UnitConnection& c) {
                                 c.ReadExact(1);
                                 keepAlive.push_back(AcceptedSocketKeepAlive(self->Port()));
                                 served++;
                                 c.Disconnect();
                             }});
    self = &server;
    server.Start("0");
    const std::uint64_t startedIdle = server.ThreadsStarted();
    std::uint64_t startedAfterFirst = 0;
    for (int i = 0; i < 6; ++i) {
        SimulatedUnit unit("127.0.0.1", server.Port());
        unit.SendRaw("x");
        unit.WaitForClose(std::chrono::seconds(5));
        for (int k = 0; k < 1000 && server.OpenConnectionCount() > 0; ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (i == 0) startedAfterFirst = server.ThreadsStarted();
    }
    EXPECT_EQ(served.load(), 6);
    EXPECT_EQ(startedAfterFirst, startedIdle + 1);
    EXPECT_EQ(server.ThreadsStarted(), startedAfterFirst);
    EXPECT_EQ(server.ThreadCount(), static_cast<int>(startedAfterFirst));
    for (const auto& v : keepAlive) EXPECT_EQ(v, (std::vector<int>{1, 120, 30, 4}));
    server.Stop();
    EXPECT_EQ(server.ThreadCount(), 0);
}

// A run that hands over its closing frees its thread at once: units in their closing
// waits hold no thread, each is closed once its wait is over (and counts as open until
// then), a run that ended by an error is not run again, and Stop waits for the closings.
TEST(ConnectionServer, HandedOverClosingsHoldNoThreadAndEndEachConnectionAfterItsWait) {
    std::atomic<int> runs{0}, handed{0}, closed{0};
    ConnectionServer server({nullptr, [&](UnitConnection& c) {
                                 runs++;
                                 const Bytes b = c.ReadExact(1);
                                 EXPECT_TRUE(c.DeferClosing(std::chrono::milliseconds(500), [&](UnitConnection& u) {
                                     closed++;
                                     u.Disconnect();
                                 }));
                                 handed++;
                                 if (b == "e") throw ServerError("failed");
                             }});
    server.Start("0");
    std::vector<std::unique_ptr<SimulatedUnit>> units;
    const auto sent = std::chrono::steady_clock::now();
    for (const char* frame : {"a", "b", "c", "d", "ee"}) {
        const int before = runs.load();
        units.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", server.Port()));
        units.back()->SendRaw(frame);
        for (int i = 0; i < 1000 && runs.load() == before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // its thread back in accept
    }
    EXPECT_EQ(server.OpenConnectionCount(), 5);
    EXPECT_EQ(server.ThreadCount(), static_cast<int>(server.ThreadsStarted()));
    EXPECT_LE(server.ThreadCount(), 3);  // one waiting per port and the one the first unit started
    EXPECT_EQ(closed.load(), 0);
    for (auto& u : units) u->WaitForClose(std::chrono::seconds(5));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(500));
    for (int i = 0; i < 1000 && server.OpenConnectionCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(closed.load(), 5);
    EXPECT_EQ(runs.load(), 5);  // the unread "e" after the error gets no run

    SimulatedUnit late("127.0.0.1", server.Port());
    late.SendRaw("x");
    // Once its run has handed the closing over (a Stop before that ends the run's read).
    for (int i = 0; i < 1000 && handed.load() < 6; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    server.Stop();  // returns once the late unit's closing has run
    EXPECT_EQ(closed.load(), 6);
    EXPECT_EQ(server.OpenConnectionCount(), 0);
}
