// Notifications through a real serwerd: mail to Debian's aiosmtpd (a real SMTP server),
// webhooks to an HTTP receiver in this process. One speeding event gives one mail and
// one signed POST; then both receivers go down while vehicles speed, serwerd is killed
// with SIGKILL and started again, and once the receivers are back every notification
// (101 mails, 101 POSTs) arrives once.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>
#include <vector>

#include "e2e/ServerdChild.hpp"
#include "notifications/SqliteOutbox.hpp"
#include "notifications/Signature.hpp"
#include "support/TestDirectory.hpp"
#include "unitsim/PositionRecordBuilder.hpp"
#include "unitsim/SimulatedUnit.hpp"

using namespace serwer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const char* const kPython = "/usr/bin/python3";  // Debian's, with python3-aiosmtpd

std::string Base64Decoded(const std::string& text) {
    std::string clean;
    for (const char c : text)
        if (c != '\r' && c != '\n') clean += c;
    std::string out(clean.size() / 4 * 3 + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
    if (n < 0) return {};
    out.resize(static_cast<std::size_t>(n));
    while (!clean.empty() && clean.back() == '=') clean.pop_back(), out.pop_back();
    return out;
}

class NotificationsRun : public ::testing::Test {
protected:
    void SetUp() override {
        hook_.Post("/hook", [this](const httplib::Request& req, httplib::Response& res) {
            if (!accepting_) {
                res.status = 503;
                return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            posts_.push_back({req.body, req.get_header_value("X-Serwer-Podpis"), req.get_header_value("X-Serwer-Zdarzenie")});
        });
        hook_.Post("/strefa", [this](const httplib::Request& req, httplib::Response&) {
            std::lock_guard<std::mutex> lock(mutex_);
            zonePosts_.push_back(nlohmann::json::parse(req.body));
        });
        hookPort_ = hook_.bind_to_any_port("127.0.0.1");
        hookThread_ = std::thread([this] { hook_.listen_after_bind(); });
        StartMail();
        ServerdChild::Install(dir_, "Port=0\nZapisTabeliMs=0\n[Www]\nPort=0\n[Zdarzenia]\nPredkosc=20\n[Poczta]\nSerwer=smtp://127.0.0.1:" +
                                        std::to_string(mailPort_) +
                                        "\nOd=serwer@firma.pl\n[Powiadomienia]\nNazwa=baza\n[Powiadomienie Predkosc]\n"
                                        "Typy=przekroczenie_predkosci\nEmail=kierownik@firma.pl\nWebhook=http://127.0.0.1:" +
                                        std::to_string(hookPort_) + "/hook\nSekret=tajne\n[Powiadomienie Strefa]\n"
                                        "Typy=wjazd_do_strefy,wyjazd_ze_strefy\nWebhook=http://127.0.0.1:" +
                                        std::to_string(hookPort_) + "/strefa\n");
        std::ofstream(dir_ / "strefy.geojson")
            << R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"nazwa":"Baza"},)"
               R"("geometry":{"type":"Polygon","coordinates":[[[20.9,52.2],[21.1,52.2],[21.1,52.3],[20.9,52.3],[20.9,52.2]]]}}]})";
        Launch();
    }
    void TearDown() override {
        StopMail();
        hook_.stop();
        hookThread_.join();
    }
    void StartMail() {
        const std::string maildir = (dir_ / "poczta").string(), listen = "127.0.0.1:" + std::to_string(mailPort_);
        mail_ = ::fork();
        if (mail_ == 0) {
            ::execl(kPython, kPython, "-m", "aiosmtpd", "-n", "-l", listen.c_str(), "-c", "aiosmtpd.handlers.Mailbox",
                    maildir.c_str(), nullptr);
            _exit(98);
        }
        for (int i = 0; i < 200; ++i) {
            try {
                SimulatedUnit probe("127.0.0.1", mailPort_);
                return;
            } catch (const std::exception&) {
                std::this_thread::sleep_for(25ms);
            }
        }
        FAIL() << "aiosmtpd did not start: tools/install-packages.sh python3-aiosmtpd";
    }
    void StopMail() {
        if (mail_ <= 0) return;
        ::kill(mail_, SIGKILL);
        ::waitpid(mail_, nullptr, 0);
        mail_ = -1;
    }
    void Launch() {
        ASSERT_TRUE(serwerd_.Start(dir_, ""));
        port_ = serwerd_.WaitForPort(5s);
        ASSERT_GT(port_, 0) << ReadFile(dir_ / "stderr.txt");
    }
    // One position of the vehicle at 50 km/h, over the limit of 20.
    void Speed(const std::string& registration) {
        PositionOptions o = SamplePosition(registration);
        o.speedHundredths = 5000;
        units_.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", port_));
        units_.back()->SendPosition(BuildPositionRecord(o));
    }
    std::vector<fs::path> Mails() {
        std::vector<fs::path> files;
        if (fs::exists(dir_ / "poczta" / "new"))
            for (const auto& f : fs::directory_iterator(dir_ / "poczta" / "new")) files.push_back(f.path());
        return files;
    }
    std::size_t Posts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return posts_.size();
    }
    bool WaitFor(std::size_t mails, std::size_t posts, std::chrono::seconds limit) {
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            if (Mails().size() >= mails && Posts() >= posts) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    struct Post {
        std::string body, signature, eventId;
    };
    TestDirectory tmp_;
    const fs::path dir_ = tmp_.Path();
    ServerdChild serwerd_;
    int port_ = 0;
    const int mailPort_ = FindFreePort();
    pid_t mail_ = -1;
    httplib::Server hook_;
    int hookPort_ = 0;
    std::thread hookThread_;
    std::atomic<bool> accepting_{true};
    std::mutex mutex_;
    std::vector<Post> posts_;
    std::vector<nlohmann::json> zonePosts_;
    std::vector<std::unique_ptr<SimulatedUnit>> units_;
};

}  // namespace

TEST_F(NotificationsRun, OneEventGivesOneMailAndOneSignedPostAndAnOutageWithAKillLosesAndDoublesNone) {
    Speed("WA12345");
    ASSERT_TRUE(WaitFor(1, 1, 30s)) << Mails().size() << " mails, " << Posts() << " posts\n" << ReadFile(dir_ / "err2.txt");
    const std::string mail = ReadFile(Mails().at(0));
    // The subject's encoded words, on its folded lines.
    const std::size_t subjectAt = mail.find("\nSubject: ");
    ASSERT_NE(subjectAt, std::string::npos);
    std::size_t subjectEnd = mail.find('\n', subjectAt + 1);
    while (subjectEnd + 1 < mail.size() && mail[subjectEnd + 1] == ' ') subjectEnd = mail.find('\n', subjectEnd + 1);
    const std::string header = mail.substr(subjectAt, subjectEnd - subjectAt);
    std::string subject;
    const std::regex word("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]+)\\?=");
    for (auto it = std::sregex_iterator(header.begin(), header.end(), word); it != std::sregex_iterator(); ++it)
        subject += Base64Decoded((*it)[1]);
    EXPECT_TRUE(subject.starts_with("WA12345: przekroczenie prędkości 50 km/h (limit 20) od ")) << header;
    const std::size_t bodyAt = mail.find("\n\n") != std::string::npos ? mail.find("\n\n") : mail.find("\r\n\r\n");
    const std::string body = Base64Decoded(mail.substr(bodyAt));
    EXPECT_NE(body.find("Pojazd: WA12345\r\nCo się stało: przekroczenie prędkości 50 km/h"), std::string::npos) << body;
    EXPECT_NE(body.find("Powiadomienie „Predkosc” serwera pozycjonowania baza."), std::string::npos) << body;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Post& p = posts_.at(0);
        EXPECT_EQ(p.signature, WebhookSignature("tajne", p.body));
        const nlohmann::json event = nlohmann::json::parse(p.body);
        EXPECT_EQ(std::to_string(event["id"].get<std::uint64_t>()), p.eventId);
        EXPECT_EQ(event["typ"], "przekroczenie_predkosci");
        EXPECT_EQ(event["pojazd"], "WA12345");
        EXPECT_EQ(event["serwer"], "baza");
    }

    // Both receivers down; 100 vehicles speed; serwerd killed and started again.
    StopMail();
    accepting_ = false;
    for (int i = 1; i <= 100; ++i) Speed("WA2" + std::to_string(1000 + i));
    // Killed once every position is stored, whether or not its notification reached the outbox.
    for (int k = 0; k < 600; ++k) {
        const std::string table = ReadFile(dir_ / "Aktualne.txt");
        int stored = 0;
        for (int i = 1; i <= 100; ++i) stored += table.find("\"WA2" + std::to_string(1000 + i) + "\"") != std::string::npos;
        if (stored == 100) break;
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(300ms);  // their history writes, which follow the table's save
    serwerd_.Kill();
    units_.clear();
    Launch();
    StartMail();
    accepting_ = true;
    // The first retry after a failure waits 10 s, the second 20 s.
    ASSERT_TRUE(WaitFor(101, 101, 120s)) << Mails().size() << " mails, " << Posts() << " posts\n" << ReadFile(dir_ / "err2.txt");
    std::this_thread::sleep_for(2s);  // nothing more comes
    std::map<std::string, int> byEvent;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Post& p : posts_) ++byEvent[p.eventId];
    }
    EXPECT_EQ(byEvent.size(), 101u);
    for (const auto& [id, times] : byEvent) EXPECT_EQ(times, 1) << id;
    EXPECT_EQ(Mails().size(), 101u);
    EXPECT_NE(ReadFile(dir_ / "err2.txt").find("nie przyjmuje"), std::string::npos);
}

// 100 crossings of a zone's border within seconds of the server's clock: one
// notification of each kind (CoIleMin=15), the other 98 held back for the next.
TEST_F(NotificationsRun, AVehicleFlappingAcrossAZoneBorderIsToldOncePerInterval) {
    PositionOptions o = SamplePosition("WA30001");
    o.speedHundredths = 0;
    o.longitude = CoordinateFromDegrees(21.0);
    for (int i = 0; i < 101; ++i) {
        o.hour = 10 + i / 60, o.minute = i % 60;  // a fix a minute: a repeated fix time raises nothing
        const bool inside = i % 2 == 1;
        o.latitude = CoordinateFromDegrees(inside ? 52.25 : 52.35);
        units_.push_back(std::make_unique<SimulatedUnit>("127.0.0.1", port_));
        units_.back()->SendPosition(BuildPositionRecord(o));
        const std::string row = inside ? "52.2500000N" : "52.3500000N";
        for (int k = 0; k < 1000 && ReadFile(dir_ / "Aktualne.txt").find(row) == std::string::npos; ++k)
            std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(3s);
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(zonePosts_.size(), 2u) << ReadFile(dir_ / "err2.txt");
    EXPECT_EQ(zonePosts_[0]["typ"], "wjazd_do_strefy");
    EXPECT_EQ(zonePosts_[1]["typ"], "wyjazd_ze_strefy");
    EXPECT_FALSE(zonePosts_[0].contains("wstrzymane"));
    EXPECT_EQ(zonePosts_[0]["strefa"], "Baza");
    // 50 entries and 50 exits: 49 of each wait to be told with the next.
    SqliteOutbox outbox((dir_ / "historia" / "powiadomienia.sqlite").string());
    EXPECT_EQ(outbox.Throttle({"Strefa", "WA30001", EventType::WjazdDoStrefy}).heldBack, 49);
    EXPECT_EQ(outbox.Throttle({"Strefa", "WA30001", EventType::WyjazdZeStrefy}).heldBack, 49);
}
