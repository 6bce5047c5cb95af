// The web service over HTTPS: a certificate made by the openssl program, curl as the
// client, and raw sockets for clients that do not speak TLS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "support/TestDirectory.hpp"
#include "web/WebService.hpp"

using namespace serwer;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Everything the server sends until it closes (or the limit passes), after `request`.
std::string RawExchange(int port, const std::string& request, std::chrono::milliseconds limit) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string answer;
    const auto until = Clock::now() + limit;
    char chunk[4096];
    for (ssize_t n = 1; n > 0 && Clock::now() < until;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0 && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0)
            answer.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

}  // namespace

class Https : public ::testing::Test {
protected:
    // A self-signed certificate for 127.0.0.1 and its key, as <name>.crt and <name>.key.
    void MakeCertificate(const std::string& name) {
        const std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -addext "
            "subjectAltName=DNS:localhost,IP:127.0.0.1 -days 2 -keyout " +
            name + ".key -out " + name + ".crt 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    void Start(const std::string& certificate, const std::string& key, WebLimits limits = {}) {
        WebSettings settings;
        settings.port = "0";
        settings.certificate = certificate;
        settings.key = key;
        web_ = std::make_unique<WebService>(server_, settings, limits);
        web_->Start();
    }

    // curl's status and count of new connections for each of `times` requests for the
    // target, on one connection kept alive; the last answer's body in answer.txt.
    std::string Curl(const std::string& target, int times = 1) {
        std::string command = "curl -s --cacert c.crt -w '%{http_code} %{num_connects}\\n'";
        for (int i = 0; i < times; ++i)
            command += " -o answer.txt https://127.0.0.1:" + std::to_string(web_->Port()) + target;
        EXPECT_EQ(std::system((command + " > codes.txt").c_str()), 0);
        return ReadFile("codes.txt");
    }

    TestDirectory dir_{TestDirectory::Enter::Yes};
    PositioningServer server_{[this] {
        ServerSetup setup;
        setup.dataDirectory = dir_.Path().string();
        setup.keepHistory = false;
        return setup;
    }()};
    std::unique_ptr<WebService> web_;
};

TEST_F(Https, AnswersOverTlsKeepingTheConnectionAndPlainHttpOnItsPortGetsNoAnswer) {
    MakeCertificate("c");
    Start("c.crt", "c.key");
    EXPECT_EQ(Curl("/api/mapa", 2), "200 1\n200 0\n");
    EXPECT_EQ(ReadFile("answer.txt"),
              "{\"url\":\"https://tile.openstreetmap.org/{z}/{x}/{y}.png\","
              "\"atrybucja\":\"\xC2\xA9 OpenStreetMap contributors\"}");

    const std::string plain = RawExchange(web_->Port(), "GET /api/mapa HTTP/1.1\r\nHost: x\r\n\r\n", 3s);
    EXPECT_EQ(plain.find("HTTP/"), std::string::npos) << plain;
    EXPECT_EQ(Curl("/api/mapa"), "200 1\n");
}

TEST_F(Https, AHandshakeNotCompletedIsClosedAtTheRequestTimeLimit) {
    MakeCertificate("c");
    WebLimits limits;
    limits.requestTimeLimit = 800ms;
    limits.readTimeout = 300ms;
    Start("c.crt", "c.key", limits);
    // Silent from the start, and a record header whose record never comes: the bytes of
    // a handshake are no request's bytes, and never extend its time.
    for (const std::string& sent : {std::string(), std::string("\x16\x03\x01\x02\x00", 5)}) {
        const auto start = Clock::now();
        EXPECT_EQ(RawExchange(web_->Port(), sent, 5s), "");
        const auto took = Clock::now() - start;
        EXPECT_GE(took, 700ms) << sent.size();
        EXPECT_LT(took, 2s) << sent.size();
    }
    EXPECT_EQ(Curl("/api/mapa"), "200 1\n");
}

TEST_F(Https, StartRefusesACertificateItCannotUseNamingTheFile) {
    MakeCertificate("c");
    MakeCertificate("other");
    const auto refusal = [this](const std::string& certificate, const std::string& key) -> std::string {
        try {
            Start(certificate, key);
        } catch (const ServerError& e) {
            EXPECT_FALSE(web_->IsActive());
            return e.what();
        }
        return "started";
    };
    const std::string head = Cp1250("Usługa WWW nie została uruchomiona: ");
    EXPECT_EQ(refusal("c.crt", "other.key"),
              head + Cp1250("klucz other.key nie pasuje do certyfikatu c.crt (key values mismatch)"));
    EXPECT_EQ(refusal("brak.crt", "c.key"),
              head + Cp1250("nie można wczytać certyfikatu brak.crt (No such file or directory)"));
    EXPECT_EQ(refusal("c.key", "c.key"), head + Cp1250("nie można wczytać certyfikatu c.key (no start line)"));
    EXPECT_EQ(refusal("c.crt", ""),
              head + Cp1250("w sekcji [Www] pliku serwer.ini podano certyfikat (Certyfikat) bez klucza (Klucz)"));
}
