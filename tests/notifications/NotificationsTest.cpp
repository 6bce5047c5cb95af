// The notifications' rules, throttle, retries, texts and signature, the outbox (what is
// kept across a reopen, and when a message is due) in SQLite and in PostgreSQL, where
// servers sharing the database each see only their own, and the service's reports of a
// failing receiver and its look back after a restart.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "common/Win1250.hpp"
#include "notifications/NotificationService.hpp"
#include "notifications/NotificationText.hpp"
#include "history/SqliteHistoryStore.hpp"
#include "notifications/Outbox.hpp"
#include "notifications/PostgresOutbox.hpp"
#include "notifications/Signature.hpp"
#include "server/PositioningServer.hpp"
#include "notifications/Throttle.hpp"
#include "support/TestDirectory.hpp"
#include "support/TestPostgres.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;

namespace {

Event Speeding() {
    Event e;
    e.type = EventType::PrzekroczeniePredkosci;
    e.registration = "WA12345";
    e.startUtc = 1796817600;  // 2026-12-09 12:00 UTC, 13:00 in Poland
    e.interval = true;
    e.latitude = 52.1;
    e.longitude = -21.05;
    e.zone = Cp1250("Łódź");
    e.value = 110;
    e.limit = 90;
    e.text = Cp1250("przekroczenie prędkości 110 km/h (limit 90) od 13:00");
    e.id = EventId(e.type, e.registration, e.startUtc, e.zone);
    return e;
}

enum class OutboxBackend { Sqlite, Postgres };

std::string OutboxBackendName(const ::testing::TestParamInfo<OutboxBackend>& info) {
    return info.param == OutboxBackend::Sqlite ? "Sqlite" : "Postgres";
}

// The outbox and the service on each kind of outbox: powiadomienia.sqlite in a directory
// of the test's own, or tables in a schema of its own (skipped without SERWER_TEST_POSTGRES).
class OnEachOutbox : public ::testing::TestWithParam<OutboxBackend> {
protected:
    void SetUp() override {
        if (GetParam() == OutboxBackend::Postgres) {
            SKIP_WITHOUT_POSTGRES();
            db_ = std::make_unique<TestPostgres>("powiadomienia");
        }
    }
    NotificationService::OutboxPlace Place() const {
        return {(dir_.Path() / "powiadomienia.sqlite").string(), db_ ? db_->Uri() : "", "baza:5000"};
    }
    std::unique_ptr<Outbox> Open() const {
        const NotificationService::OutboxPlace place = Place();
        return OpenOutbox(place.sqlitePath, place.databaseUri, place.serverName);
    }
    TestDirectory dir_;
    std::unique_ptr<TestPostgres> db_;
};

}  // namespace

TEST(NotificationRuleTest, ARuleTakesItsTypesAndVehiclesAndAnIntervalOnlyWhenItStarts) {
    NotificationRule rule;
    Event e = Speeding();
    EXPECT_TRUE(rule.Takes(e));  // empty lists: every type, every vehicle
    rule.types = {EventType::WjazdDoStrefy};
    EXPECT_FALSE(rule.Takes(e));
    rule.types.insert(EventType::PrzekroczeniePredkosci);
    rule.vehicles = {"WA12345"};
    e.registration = "wa12345";
    EXPECT_TRUE(rule.Takes(e));
    e.registration = "WA99999";
    EXPECT_FALSE(rule.Takes(e));
    e.registration = "WA12345";
    e.endUtc = e.startUtc + 120;  // the same interval, ended
    EXPECT_FALSE(rule.Takes(e));
}

TEST(ThrottleTest, OneNotificationPerIntervalAndTheNextTellsHowManyWereHeldBack) {
    ThrottleState s;
    EXPECT_TRUE(Throttle(s, 1000, 15).send);
    for (int i = 1; i <= 99; ++i) EXPECT_FALSE(Throttle(s, 1000 + i * 6, 15).send) << i;  // 100 in 10 minutes
    EXPECT_EQ(s.heldBack, 99);
    const ThrottleDecision next = Throttle(s, 1000 + 15 * 60, 15);
    EXPECT_TRUE(next.send);
    EXPECT_EQ(next.heldBack, 99);
    EXPECT_EQ(s.heldBack, 0);
    EXPECT_TRUE(Throttle(s, 1000 + 15 * 60, 0).send);  // CoIleMin=0: every one
    // Retries: 10 s doubled, at most 30 minutes.
    EXPECT_EQ(RetryDelaySeconds(1), 10);
    EXPECT_EQ(RetryDelaySeconds(2), 20);
    EXPECT_EQ(RetryDelaySeconds(8), 1280);
    EXPECT_EQ(RetryDelaySeconds(9), 1800);
    EXPECT_EQ(RetryDelaySeconds(1000), 1800);
}

TEST(NotificationTextTest, TheMailSaysWhoWhatWhenAndWhereInPolishAndTheWebhookIsTheApisEventWithTheServer) {
    const Event e = Speeding();
    NotificationRule rule;
    rule.name = Cp1250("Noc w Łodzi");
    NotificationSettings settings;
    settings.serverName = "baza";
    settings.mapUrl = "http://10.0.0.5:8080/";
    const NotificationContent c{e, rule, settings, 3, ','};
    EXPECT_EQ(MailSubject(c), "WA12345: przekroczenie prędkości 110 km/h (limit 90) od 13:00");
    EXPECT_EQ(MailBody(c),
              "Pojazd: WA12345\r\n"
              "Co się stało: przekroczenie prędkości 110 km/h (limit 90) od 13:00\r\n"
              "Kiedy: 09-12-2026 13:00:00 (czas polski)\r\n"
              "Gdzie: 52,1000000 N, 21,0500000 W, strefa „Łódź”\r\n"
              "Pojazd na mapie: http://10.0.0.5:8080/?wybierz=WA12345\r\n"
              "Od poprzedniego powiadomienia wstrzymano takich zdarzeń tego pojazdu: 3.\r\n"
              "\r\n"
              "Powiadomienie „Noc w Łodzi” serwera pozycjonowania baza.\r\n");
    const std::string message = MailMessage(c, "kierownik@firma.pl", e.startUtc);
    EXPECT_NE(message.find("\r\nSubject: =?UTF-8?B?"), std::string::npos);
    EXPECT_NE(message.find("\r\nDate: Wed, 09 Dec 2026 12:00:00 +0000\r\n"), std::string::npos);
    EXPECT_NE(message.find("\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(WebhookBody(c), "{\"id\": " + std::to_string(e.id) +
                                  ", \"typ\": \"przekroczenie_predkosci\", \"pojazd\": \"WA12345\", \"od\": "
                                  "\"2026-12-09T13:00:00+01:00\", \"do\": null, \"szerokosc\": 52.1000000, \"dlugosc\": "
                                  "-21.0500000, \"strefa\": \"Łódź\", \"wartosc\": 110.00, \"limit\": 90, \"opis\": "
                                  "\"przekroczenie prędkości 110 km/h (limit 90) od 13:00\", \"serwer\": \"baza\", "
                                  "\"wstrzymane\": 3}");
    // RFC 4231's second case.
    EXPECT_EQ(WebhookSignature("Jefe", "what do ya want for nothing?"),
              "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

class OutboxTest : public OnEachOutbox {};
INSTANTIATE_TEST_SUITE_P(Backends, OutboxTest, ::testing::Values(OutboxBackend::Sqlite, OutboxBackend::Postgres),
                         OutboxBackendName);

TEST_P(OutboxTest, MessagesOutliveAReopenUntilRemovedAndAreDueAtTheirNextTry) {
    const ThrottleKey key{"Noc", "WA12345", EventType::PrzekroczeniePredkosci};
    {
        const std::unique_ptr<Outbox> outbox = Open();
        EXPECT_FALSE(outbox->Taken(77, "Noc"));
        const std::vector<OutboxMessage> messages{{0, 77, "Noc", "email", "a@b.pl", "", "wiadomosc", 1000, 0, 1000},
                                                  {0, 77, "Noc", "webhook", "http://x/", "X-A: 1\n", "{}", 1000, 0, 1000}};
        outbox->Take(77, key, {true, 1000, 0}, messages, 990);
    }
    const std::unique_ptr<Outbox> reopened = Open();
    Outbox& outbox = *reopened;
    EXPECT_TRUE(outbox.Taken(77, "Noc"));
    EXPECT_FALSE(outbox.Taken(77, "Dzien"));
    const ThrottleState state = outbox.Throttle(key);
    EXPECT_TRUE(state.sentBefore);
    EXPECT_EQ(state.lastSentUtc, 1000);
    EXPECT_EQ(outbox.TakenUpTo(), 990);
    std::vector<OutboxMessage> due = outbox.Due(1000, 10);
    ASSERT_EQ(due.size(), 2u);
    EXPECT_EQ(due[1].headers, "X-A: 1\n");
    EXPECT_EQ(due[0].body, "wiadomosc");
    outbox.Retry(due[0].id, 1, 1010);
    outbox.Remove(due[1].id);
    EXPECT_TRUE(outbox.Due(1009, 10).empty());
    EXPECT_EQ(outbox.NextDueUtc(), 1010);
    due = outbox.Due(1010, 10);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].failures, 1);
    EXPECT_EQ(outbox.Size(), 1u);
    EXPECT_EQ(outbox.OldestCreatedUtc(), 1000);
    outbox.ForgetTakenBefore(991);
    EXPECT_FALSE(outbox.Taken(77, "Noc"));
}

// The service on a clock of its own: a receiver refusing for 10 minutes is shown once,
// and again when it accepts; nothing is lost meanwhile.
class NotificationServiceTest : public OnEachOutbox {};
INSTANTIATE_TEST_SUITE_P(Backends, NotificationServiceTest,
                         ::testing::Values(OutboxBackend::Sqlite, OutboxBackend::Postgres), OutboxBackendName);

TEST_P(NotificationServiceTest, AReceiverFailingForTenMinutesIsShownAndItsRecoveryToo) {
    const int port = FindFreePort();
    NotificationSettings settings;
    settings.serverName = "baza";
    NotificationRule rule;
    rule.name = "Wszystko";
    rule.webhook = "http://127.0.0.1:" + std::to_string(port) + "/";
    rule.intervalMinutes = 0;
    settings.rules.push_back(rule);
    std::mutex mutex;
    std::vector<std::string> errors, shown;
    std::atomic<std::int64_t> now{1796817600};
    NotificationService service(
        settings, Place(), ',',
        {[&](const std::string& t) {
            std::lock_guard<std::mutex> l(mutex);
            errors.push_back(t);
        },
         [&](const std::string& t) {
            std::lock_guard<std::mutex> l(mutex);
            shown.push_back(t);
        }},
        [&] { return now.load(); });
    const auto until = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 200 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return done();
    };
    const auto count = [&](const std::vector<std::string>& v) {
        std::lock_guard<std::mutex> l(mutex);
        return v.size();
    };
    const auto copy = [&](const std::vector<std::string>& v) {
        std::lock_guard<std::mutex> l(mutex);
        return v;
    };
    service.Start(nullptr);
    Event e = Speeding();
    service.Offer({e});
    ASSERT_TRUE(until([&] { return count(errors) == 1; }));
    const std::string error = copy(errors).at(0);
    EXPECT_EQ(error.find(Cp1250("Powiadomienia: http://127.0.0.1:")), 0u) << error;
    EXPECT_NE(error.find(Cp1250(" nie przyjmuje: ")), std::string::npos);
    now += 601;
    e.startUtc += 60, e.id += 1;
    service.Offer({e});  // the first, due again, and this one fail: 10 minutes of failing
    ASSERT_TRUE(until([&] { return count(shown) == 1; }));
    EXPECT_NE(copy(shown).at(0).find(Cp1250(" nie przyjmuje od 10 minut: ")), std::string::npos);

    httplib::Server receiver;
    std::atomic<int> received{0};
    receiver.Post("/", [&](const httplib::Request&, httplib::Response&) { ++received; });
    ASSERT_TRUE(receiver.bind_to_port("127.0.0.1", port));
    std::thread listening([&] { receiver.listen_after_bind(); });
    now += 3600;
    e.startUtc += 60, e.id += 1;
    service.Offer({e});
    EXPECT_TRUE(until([&] { return received.load() == 3 && count(shown) == 2; })) << received.load();
    EXPECT_NE(copy(shown).back().find(Cp1250(" znów przyjmuje powiadomienia")), std::string::npos);
    EXPECT_EQ(service.Count(NotificationService::Channel::Webhook, NotificationService::Outcome::Sent), 3u);
    EXPECT_EQ(service.OutboxSize(), 0u);
    service.Stop();
    receiver.stop();
    listening.join();
}

TEST_P(NotificationServiceTest, AnOutboxThatCannotBeOpenedTurnsOffTheNotificationsNotTheServer) {
    ServerSetup setup;
    if (db_) {  // tables of a newer program
        const std::string table = db_->Schema() + ".wersja_schematu";
        db_->Sql("CREATE TABLE " + table + "(czesc text PRIMARY KEY, wersja integer NOT NULL)");
        db_->Sql("INSERT INTO " + table + " VALUES ('powiadomienia', 99)");
        setup.database = db_->Uri();
    } else {
        std::filesystem::create_directories(dir_.Path() / "powiadomienia.sqlite");  // a directory where the file goes
    }
    setup.dataDirectory = dir_.Path().string();
    setup.keepHistory = false;
    setup.events = EventSettings{};
    NotificationRule rule;
    rule.name = "A";
    rule.webhook = "http://127.0.0.1:1/";
    setup.notifications = NotificationSettings{{rule}, {}, "baza", "", {}};
    PositioningServer server(setup);
    EXPECT_EQ(server.Notifications(), nullptr);
    EXPECT_NE(server.Events(), nullptr);
}

// After a restart the events stored since the last one taken are read again; in a
// history shared with other servers only those of the server's own vehicles are told.
TEST_P(NotificationServiceTest, ARestartLooksBackOnlyAtTheEventsOfItsOwnVehicles) {
    const Event before = Speeding();
    Event own = before, foreign = before;
    own.startUtc += 600;
    own.id = EventId(own.type, own.registration, own.startUtc, own.zone);
    foreign.registration = "WB99999";
    foreign.id = EventId(foreign.type, foreign.registration, foreign.startUtc, foreign.zone);
    Open()->Take(before.id, {"Wszystko", before.registration, before.type}, {true, before.startUtc, 0}, {},
                 before.startUtc);
    SqliteHistoryStore history((dir_.Path() / "historia").string());
    history.AppendEvents({before, own, foreign});
    NotificationSettings settings;
    NotificationRule rule;
    rule.name = "Wszystko";
    rule.intervalMinutes = 0;
    settings.rules.push_back(rule);
    {
        NotificationService service(
            settings, Place(), ',', {}, [&] { return own.startUtc + 60; },
            [](const std::string& registration) { return registration == "WA12345"; });
        service.Start(&history);
        service.Stop();  // the look back is done before the thread ends
    }
    const std::unique_ptr<Outbox> outbox = Open();
    EXPECT_TRUE(outbox->Taken(own.id, "Wszystko"));
    EXPECT_FALSE(outbox->Taken(foreign.id, "Wszystko"));
    EXPECT_EQ(outbox->TakenUpTo(), own.startUtc);
}

// Servers sharing one PostgreSQL database, each under its own name.
class SharedOutboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_POSTGRES();
        db_ = std::make_unique<TestPostgres>("powiadomienia");
    }
    std::unique_ptr<TestPostgres> db_;
};

TEST_F(SharedOutboxTest, EachServerSeesAndChangesOnlyItsOwnMessagesTakenEventsAndThrottles) {
    PostgresOutbox a(db_->Uri(), "a:5000"), b(db_->Uri(), Cp1250("łódź:5000"));
    const ThrottleKey key{"Noc", "WA12345", EventType::PrzekroczeniePredkosci};
    a.Take(77, key, {true, 1000, 2}, {{0, 77, "Noc", "email", "a@firma.pl", "", "dla a", 1000, 0, 1000}}, 990);
    b.Take(78, key, {true, 1005, 0}, {{0, 78, "Noc", "email", "b@firma.pl", "", "dla b", 1005, 0, 1005}}, 995);
    const std::vector<OutboxMessage> dueA = a.Due(2000, 10), dueB = b.Due(2000, 10);
    ASSERT_EQ(dueA.size(), 1u);
    ASSERT_EQ(dueB.size(), 1u);
    EXPECT_EQ(dueA[0].body, "dla a");
    EXPECT_EQ(dueB[0].body, "dla b");
    EXPECT_EQ(a.Size(), 1u);
    EXPECT_EQ(a.OldestCreatedUtc(), 1000);
    EXPECT_FALSE(a.Taken(78, "Noc"));
    EXPECT_TRUE(b.Taken(78, "Noc"));
    EXPECT_EQ(a.Throttle(key).heldBack, 2);
    EXPECT_EQ(b.Throttle(key).lastSentUtc, 1005);
    EXPECT_EQ(a.TakenUpTo(), 990);
    EXPECT_EQ(b.TakenUpTo(), 995);
    a.Retry(dueB[0].id, 1, 5000);  // another server's numbers change nothing
    a.Remove(dueB[0].id);
    EXPECT_EQ(b.NextDueUtc(), 1005);
    a.ForgetTakenBefore(1000);
    EXPECT_FALSE(a.Taken(77, "Noc"));
    EXPECT_TRUE(b.Taken(78, "Noc"));
}
