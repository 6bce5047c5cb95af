#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "events/Event.hpp"
#include "history/HistoryStore.hpp"
#include "notifications/NotificationRule.hpp"
#include "notifications/Outbox.hpp"

namespace serwer {

// What /metrics and /api/zdrowie show of the notifications.
struct NotificationFigures {
    // By channel (email, webhook) and outcome (sent, retried, given_up).
    std::array<std::array<std::uint64_t, 3>, 2> counts{};
    std::size_t outbox = 0;                     // notifications waiting
    std::optional<std::int64_t> oldestWaitingS;  // how long the oldest has waited
};

// The notifications at work, on two threads of their own: one takes the events offered
// (rules, throttle, the outbox), one delivers what the outbox holds and tries again
// with growing waits for 24 hours. Offering events never waits for either, so no
// receiver and no outbox ever holds up a position.
class NotificationService {
public:
    // Texts are Windows-1250 bytes.
    using Report = std::function<void(const std::string& text)>;
    struct Reports {
        Report errorLog;  // err2.txt: a receiver's run of failures begins or ends, a notification given up
        Report display;   // the window's events: a receiver failing for 10 minutes, and again accepting
    };
    enum class Channel { Email, Webhook };
    enum class Outcome { Sent, Retried, GivenUp };

    // Where the outbox is (OpenOutbox): the SQLite file, or this server's part of the
    // outbox in the PostgreSQL database named.
    struct OutboxPlace {
        std::string sqlitePath;
        std::string databaseUri;  // empty: the SQLite file
        std::string serverName;
    };
    // Whether a vehicle is this server's own (by its registration).
    using OwnVehicle = std::function<bool(const std::string& registration)>;

    // Opens the outbox (throws ServerError when it cannot be). The events a restart reads
    // again from the history are told only of the vehicles ownVehicle answers for (a
    // shared history holds other servers' too); without it, of every vehicle.
    NotificationService(NotificationSettings settings, const OutboxPlace& outbox, char decimalSeparator,
                        Reports reports, std::function<std::int64_t()> nowUtc, OwnVehicle ownVehicle = {});
    ~NotificationService();
    NotificationService(const NotificationService&) = delete;
    NotificationService& operator=(const NotificationService&) = delete;

    // Starts the threads. With a history, the events of its own vehicles stored from an
    // hour before the last one taken are offered first: those a kill left untaken are
    // told, the others not again.
    void Start(HistoryStore* history);
    void Stop();

    void Offer(const std::vector<Event>& events);

    std::uint64_t Count(Channel channel, Outcome outcome) const;
    NotificationFigures Figures();
    std::size_t OutboxSize();
    // How long the oldest notification waiting has waited; none when none waits.
    std::optional<std::int64_t> OldestWaitingSeconds();

private:
    struct Receiver {
        std::int64_t failingSince = 0;
        bool shown = false;  // the display was told
        int failures = 0;
    };
    void TakeLoop(HistoryStore* history);
    void SendLoop();
    void TakeEvent(const Event& event, bool readAgain);
    void Deliver(const OutboxMessage& message);
    void Counted(const std::string& channel, Outcome outcome);
    void ReceiverAnswered(const std::string& address, const std::string& error);

    NotificationSettings settings_;
    char decimalSeparator_;
    Reports reports_;
    std::function<std::int64_t()> nowUtc_;
    OwnVehicle ownVehicle_;
    std::unique_ptr<Outbox> outbox_;

    std::mutex mutex_;
    std::condition_variable wakeTaker_, wakeSender_;
    static constexpr std::size_t kMaxOffered = 100000;
    std::deque<Event> offered_;
    bool overflowing_ = false;  // events are being dropped
    bool newMessages_ = false;
    std::atomic<bool> stopping_{false};
    std::thread taker_, sender_;
    std::map<std::string, Receiver> receivers_;  // only the sender's thread uses it
    std::array<std::atomic<std::uint64_t>, 6> counts_{};
};

}  // namespace serwer
