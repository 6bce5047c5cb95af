#pragma once
#include <string>

#include "reports/ReportSettings.hpp"

namespace serwer {

// The section [Www] of serwer.ini (Windows-1250 texts).
struct WebSettings {
    std::string port;                   // Port: empty leaves the service off; 0 takes any free port
    std::string address = "127.0.0.1";  // Adres
    std::string password;               // Haslo: HTTP Basic, any user name (without accounts)
    std::string certificate;            // Certyfikat: a PEM file; with Klucz the service is HTTPS
    std::string key;                    // Klucz: the certificate's private key (PEM)
    std::string tileUrl = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";  // Mapa
    std::string attribution = "\xA9 OpenStreetMap contributors";             // shown under the map
    int connectionsPerAddress = 16;  // PolaczeniaZAdresu: open connections from one client address
    ReportSettings reports;          // [Raporty]: how the API's reports tell trips and stops apart
    std::string accountsFile;        // konta.db in the data directory; empty: no accounts
    std::string accountsDatabase;    // [Historia] Baza: the accounts in PostgreSQL instead of accountsFile

    bool Enabled() const { return !port.empty(); }
    bool Tls() const { return !certificate.empty() || !key.empty(); }
};

}  // namespace serwer
