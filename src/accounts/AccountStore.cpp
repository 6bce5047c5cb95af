#include "accounts/AccountStore.hpp"

#include "accounts/PostgresAccountStore.hpp"
#include "accounts/Secrets.hpp"
#include "accounts/SqliteAccountStore.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

bool IsToken(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

std::string Lowercase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

}  // namespace

std::string AccountStore::JoinList(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        if (item.find(',') != std::string::npos)
            throw ServerError(Cp1250("Przecinek w licencji albo rejestracji konta: ") + item);
        if (!text.empty()) text += ',';
        text += item;
    }
    return text;
}

std::vector<std::string> AccountStore::SplitList(const std::string& text) {
    std::vector<std::string> items;
    if (text.empty()) return items;
    std::size_t begin = 0;
    for (std::size_t comma; (comma = text.find(',', begin)) != std::string::npos; begin = comma + 1)
        items.push_back(text.substr(begin, comma - begin));
    items.push_back(text.substr(begin));
    return items;
}

AccountStore::Withdrawal AccountStore::WithdrawalOf(std::string_view tokenOrRegistration) {
    std::string_view text = tokenOrRegistration;
    // A whole link: its token is what follows the last slash.
    const bool link = text.find('/') != std::string_view::npos;
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    if (link) text.remove_prefix(text.rfind('/') == std::string_view::npos ? 0 : text.rfind('/') + 1);
    if (IsToken(text)) return {TokenDigest(Lowercase(text)), ""};
    if (link || text.empty()) return {};
    return {"", std::string(text)};
}

std::unique_ptr<AccountStore> OpenAccountStore(const std::string& sqlitePath, const std::string& databaseUri) {
    if (databaseUri.empty()) return std::make_unique<SqliteAccountStore>(sqlitePath);
    return std::make_unique<PostgresAccountStore>(databaseUri);
}

}  // namespace serwer
