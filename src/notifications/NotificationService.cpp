#include "notifications/NotificationService.hpp"

#include <algorithm>
#include <chrono>

#include "common/Win1250.hpp"
#include "notifications/Delivery.hpp"
#include "notifications/NotificationText.hpp"
#include "notifications/Signature.hpp"
#include "notifications/Throttle.hpp"

namespace serwer {

namespace {

constexpr const char* kEmail = "email";
constexpr const char* kWebhook = "webhook";
constexpr std::int64_t kShowFailingAfterSeconds = 600;
constexpr std::int64_t kLookBackSeconds = 3600;

std::size_t CountIndex(NotificationService::Channel channel, NotificationService::Outcome outcome) {
    return static_cast<std::size_t>(channel) * 3 + static_cast<std::size_t>(outcome);
}

}  // namespace

NotificationService::NotificationService(NotificationSettings settings, const OutboxPlace& outbox,
                                         char decimalSeparator, Reports reports, std::function<std::int64_t()> nowUtc,
                                         OwnVehicle ownVehicle)
    : settings_(std::move(settings)),
      decimalSeparator_(decimalSeparator),
      reports_(std::move(reports)),
      nowUtc_(std::move(nowUtc)),
      ownVehicle_(std::move(ownVehicle)),
      outbox_(OpenOutbox(outbox.sqlitePath, outbox.databaseUri, outbox.serverName)) {}

NotificationService::~NotificationService() { Stop(); }

void NotificationService::Start(HistoryStore* history) {
    if (taker_.joinable()) return;
    stopping_ = false;
    taker_ = std::thread([this, history] { TakeLoop(history); });
    sender_ = std::thread([this] { SendLoop(); });
}

void NotificationService::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wakeTaker_.notify_all();
    wakeSender_.notify_all();
    if (taker_.joinable()) taker_.join();
    if (sender_.joinable()) sender_.join();
}

void NotificationService::Offer(const std::vector<Event>& events) {
    if (events.empty()) return;
    bool dropped = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // While the outbox cannot be written the events wait in memory, up to a bound;
        // those beyond it stay in the history, looked at again after a restart.
        if (offered_.size() + events.size() > kMaxOffered) {
            dropped = !overflowing_;
            overflowing_ = true;
        } else {
            overflowing_ = false;
            offered_.insert(offered_.end(), events.begin(), events.end());
        }
    }
    if (dropped && reports_.errorLog)
        reports_.errorLog(Cp1250("Powiadomienia: za dużo zdarzeń czeka na zapis do kolejki, kolejne są pomijane"));
    wakeTaker_.notify_one();
}

std::uint64_t NotificationService::Count(Channel channel, Outcome outcome) const {
    return counts_[CountIndex(channel, outcome)].load();
}

std::size_t NotificationService::OutboxSize() { return outbox_->Size(); }

NotificationFigures NotificationService::Figures() {
    NotificationFigures f;
    for (int c = 0; c < 2; ++c)
        for (int o = 0; o < 3; ++o)
            f.counts[static_cast<std::size_t>(c)][static_cast<std::size_t>(o)] =
                Count(static_cast<Channel>(c), static_cast<Outcome>(o));
    try {
        f.outbox = OutboxSize();
        f.oldestWaitingS = OldestWaitingSeconds();
    } catch (const std::exception&) {
        // An outbox that cannot be read shows as empty here; its failure is in err2.txt.
    }
    return f;
}

std::optional<std::int64_t> NotificationService::OldestWaitingSeconds() {
    const std::optional<std::int64_t> oldest = outbox_->OldestCreatedUtc();
    if (!oldest) return std::nullopt;
    return std::max<std::int64_t>(0, nowUtc_() - *oldest);
}

void NotificationService::TakeLoop(HistoryStore* history) {
    try {
        const std::int64_t now = nowUtc_();
        outbox_->ForgetTakenBefore(now - 2 * 24 * 3600);
        if (const std::optional<std::int64_t> upTo = outbox_->TakenUpTo(); history && upTo)
            for (const Event& e : history->QueryEvents({std::nullopt, std::nullopt, *upTo - kLookBackSeconds, now + 3600, 0}))
                if (!ownVehicle_ || ownVehicle_(e.registration)) TakeEvent(e, true);
    } catch (const std::exception& e) {
        if (reports_.errorLog) reports_.errorLog(Cp1250("Powiadomienia: nie można odczytać zdarzeń sprzed startu: ") + e.what());
    }
    bool failing = false;
    std::int64_t forgotten = nowUtc_();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (nowUtc_() - forgotten >= 3600) {  // the events taken more than two days ago, once an hour
            forgotten = nowUtc_();
            lock.unlock();
            try {
                outbox_->ForgetTakenBefore(forgotten - 2 * 24 * 3600);
            } catch (const std::exception&) {
                // Tried again in an hour; the outbox's failures are reported by its writes.
            }
            lock.lock();
            continue;
        }
        if (offered_.empty()) {
            wakeTaker_.wait_for(lock, std::chrono::minutes(10), [this] { return stopping_ || !offered_.empty(); });
            continue;
        }
        const Event event = offered_.front();
        lock.unlock();
        bool taken = true;
        try {
            TakeEvent(event, false);
            if (failing && reports_.errorLog) reports_.errorLog(Cp1250("Powiadomienia: zapis do kolejki znów działa"));
            failing = false;
        } catch (const std::exception& e) {
            // The outbox cannot be written (a full disk): the event waits, and is tried again.
            if (!failing && reports_.errorLog) reports_.errorLog(Cp1250("Powiadomienia: nie można zapisać kolejki: ") + e.what());
            failing = true;
            taken = false;
        }
        lock.lock();
        if (taken) {
            offered_.pop_front();
        } else {
            wakeTaker_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_.load(); });
        }
    }
}

void NotificationService::TakeEvent(const Event& event, bool readAgain) {
    // A stored interval that ended while the server was down is told as it started.
    Event asStarted = event;
    if (readAgain && asStarted.interval) asStarted.endUtc.reset();
    const std::int64_t now = nowUtc_();
    bool made = false;
    for (const NotificationRule& rule : settings_.rules) {
        if (!rule.Takes(asStarted) || outbox_->Taken(event.id, rule.name)) continue;
        const ThrottleKey key{rule.name, event.registration, event.type};
        ThrottleState state = outbox_->Throttle(key);
        const ThrottleDecision decision = Throttle(state, now, rule.intervalMinutes);
        std::vector<OutboxMessage> messages;
        if (decision.send) {
            const NotificationContent content{event, rule, settings_, decision.heldBack, decimalSeparator_};
            for (const std::string& address : rule.emails)
                messages.push_back({0, event.id, rule.name, kEmail, address, "", MailMessage(content, address, now), now, 0,
                                    now});
            if (!rule.webhook.empty()) {
                const std::string body = WebhookBody(content);
                std::string headers = "X-Serwer-Zdarzenie: " + std::to_string(event.id) + "\n";
                if (!rule.secret.empty()) headers += "X-Serwer-Podpis: " + WebhookSignature(rule.secret, body) + "\n";
                messages.push_back({0, event.id, rule.name, kWebhook, rule.webhook, headers, body, now, 0, now});
            }
        }
        // A fix time from a unit's wrong clock never moves the restart's look back into the future.
        outbox_->Take(event.id, key, state, messages, std::min(event.startUtc, now));
        made = made || !messages.empty();
    }
    if (made) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            newMessages_ = true;
        }
        wakeSender_.notify_one();
    }
}

void NotificationService::SendLoop() {
    while (!stopping_) {
        std::vector<OutboxMessage> due;
        std::optional<std::int64_t> next;
        try {
            due = outbox_->Due(nowUtc_(), 20);
            if (due.empty()) next = outbox_->NextDueUtc();
        } catch (const std::exception& e) {
            if (reports_.errorLog) reports_.errorLog(Cp1250("Powiadomienia: nie można odczytać kolejki: ") + e.what());
        }
        for (const OutboxMessage& m : due) {
            if (stopping_) return;
            Deliver(m);
        }
        if (!due.empty()) continue;
        std::unique_lock<std::mutex> lock(mutex_);
        const std::int64_t wait = next ? std::clamp<std::int64_t>(*next - nowUtc_(), 0, 60) : 60;
        wakeSender_.wait_for(lock, std::chrono::seconds(wait), [this] { return stopping_ || newMessages_; });
        newMessages_ = false;
    }
}

void NotificationService::Deliver(const OutboxMessage& m) {
    const DeliveryResult result = m.channel == kEmail ? SendMail(settings_.mail, m.address, m.body, stopping_)
                                                      : PostWebhook(m.address, m.body, m.headers, stopping_);
    if (!result.accepted && stopping_) return;  // cut short by the stop: tried again after the start
    const std::int64_t now = nowUtc_();
    try {
        if (result.accepted) {
            outbox_->Remove(m.id);
            Counted(m.channel, Outcome::Sent);
        } else if (now - m.createdUtc >= kGiveUpAfterSeconds) {
            outbox_->Remove(m.id);
            Counted(m.channel, Outcome::GivenUp);
            if (reports_.errorLog)
                reports_.errorLog(Cp1250("Powiadomienia: porzucone po 24 godzinach prób: zdarzenie ") +
                                  std::to_string(m.eventId) + Cp1250(", reguła ") + m.rule + ", " + m.address + ": " +
                                  Cp1250(result.error));
        } else {
            outbox_->Retry(m.id, m.failures + 1, now + RetryDelaySeconds(m.failures + 1));
            Counted(m.channel, Outcome::Retried);
        }
    } catch (const std::exception& e) {
        if (reports_.errorLog) reports_.errorLog(Cp1250("Powiadomienia: nie można zapisać kolejki: ") + e.what());
    }
    ReceiverAnswered(m.address, result.accepted ? std::string() : result.error);
}

void NotificationService::Counted(const std::string& channel, Outcome outcome) {
    ++counts_[CountIndex(channel == kEmail ? Channel::Email : Channel::Webhook, outcome)];
}

void NotificationService::ReceiverAnswered(const std::string& address, const std::string& error) {
    const std::int64_t now = nowUtc_();
    const auto it = receivers_.find(address);
    if (error.empty()) {
        if (it == receivers_.end()) return;
        if (it->second.shown && reports_.display)
            reports_.display(Cp1250("Powiadomienia: ") + address + Cp1250(" znów przyjmuje powiadomienia"));
        if (reports_.errorLog)
            reports_.errorLog(Cp1250("Powiadomienia: ") + address + Cp1250(" znów przyjmuje (nieudanych prób: ") +
                              std::to_string(it->second.failures) + ")");
        receivers_.erase(it);
        return;
    }
    if (it == receivers_.end()) {
        receivers_[address] = {now, false, 1};
        if (reports_.errorLog)
            reports_.errorLog(Cp1250("Powiadomienia: ") + address + Cp1250(" nie przyjmuje: ") + Cp1250(error));
        return;
    }
    Receiver& r = it->second;
    ++r.failures;
    if (!r.shown && now - r.failingSince >= kShowFailingAfterSeconds) {
        r.shown = true;
        if (reports_.display)
            reports_.display(Cp1250("Powiadomienia: ") + address + Cp1250(" nie przyjmuje od 10 minut: ") + Cp1250(error));
    }
}

}  // namespace serwer
