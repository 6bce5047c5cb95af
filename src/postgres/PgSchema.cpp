#include "common/ServerError.hpp"
#include "common/Win1250.hpp"
#include "postgres/PgConnection.hpp"

namespace serwer::pg {

void LockSchema(Connection& c) {
    c.Exec("SELECT pg_advisory_xact_lock(7306010815373103105)", Cp1250("nie można zablokować schematu"));
}

void PrepareSchema(Connection& c, const std::string& part, const std::vector<std::vector<std::string>>& upgrades) {
    const auto known = static_cast<std::int64_t>(upgrades.size());
    Transaction transaction(c);
    LockSchema(c);
    c.Exec("CREATE TABLE IF NOT EXISTS wersja_schematu(czesc text PRIMARY KEY, wersja integer NOT NULL)",
           Cp1250("nie można utworzyć tabeli wersji schematu"));
    Params p;
    const Result version = p.Exec(c, "SELECT wersja::bigint FROM wersja_schematu WHERE czesc = " + p.Text(part),
                                  Cp1250("nie można odczytać wersji schematu"));
    const std::int64_t found = PQntuples(version.get()) ? Int8(version.get(), 0, 0) : 0;
    if (found > known)
        throw ServerError(c.Subject() + Cp1250(": baza ma schemat w wersji ") + std::to_string(found) +
                          Cp1250(", nowszej niż zna ten program (") + std::to_string(known) + ")");
    if (found == known) return;  // rolled back: nothing was changed
    for (std::int64_t v = found; v < known; ++v)
        for (const std::string& statement : upgrades[static_cast<std::size_t>(v)])
            c.Exec(statement, Cp1250("nie można uaktualnić schematu do wersji ") + std::to_string(v + 1));
    Params q;
    q.Exec(c,
           "INSERT INTO wersja_schematu(czesc, wersja) VALUES (" + q.Text(part) + ", " + q.Int(known) +
               ") ON CONFLICT (czesc) DO UPDATE SET wersja = EXCLUDED.wersja",
           Cp1250("nie można zapisać wersji schematu"));
    transaction.Commit();
}

}  // namespace serwer::pg
