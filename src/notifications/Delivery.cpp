#include "notifications/Delivery.hpp"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "common/Win1250.hpp"

namespace serwer {

namespace {

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Curl = std::unique_ptr<CURL, CurlDeleter>;
using List = std::unique_ptr<curl_slist, ListDeleter>;

Curl NewCurl(const std::atomic<bool>& cancel, char* errors) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    Curl curl(curl_easy_init());
    if (!curl) return curl;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, kExchangeSeconds);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(&cancel));
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, +[](void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<const std::atomic<bool>*>(data)->load() ? 1 : 0;
    });
    return curl;
}

DeliveryResult Outcome(CURLcode code, const char* errors) {
    if (code == CURLE_OK) return {true, {}};
    return {false, errors[0] ? std::string(errors) : std::string(curl_easy_strerror(code))};
}

struct Upload {
    const std::string& text;
    std::size_t at = 0;
};

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* data) {
    Upload& u = *static_cast<Upload*>(data);
    const std::size_t n = std::min(size * count, u.text.size() - u.at);
    std::memcpy(buffer, u.text.data() + u.at, n);
    u.at += n;
    return n;
}

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

}  // namespace

DeliveryResult SendMail(const MailSettings& mail, const std::string& to, const std::string& message,
                        const std::atomic<bool>& cancel) {
    char errors[CURL_ERROR_SIZE] = {};
    Curl curl = NewCurl(cancel, errors);
    if (!curl) return {false, "curl_easy_init"};
    CURL* c = curl.get();
    const std::string url = Cp1250ToUtf8(mail.server), from = "<" + Cp1250ToUtf8(mail.from) + ">",
                      user = Cp1250ToUtf8(mail.user), password = Cp1250ToUtf8(mail.password);
    const std::string recipient = "<" + Cp1250ToUtf8(to) + ">";
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
    if (!user.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
    }
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
    List recipients(curl_slist_append(nullptr, recipient.c_str()));
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());
    Upload upload{message};
    curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    return Outcome(curl_easy_perform(c), errors);
}

DeliveryResult PostWebhook(const std::string& url, const std::string& body, const std::string& headers,
                           const std::atomic<bool>& cancel) {
    char errors[CURL_ERROR_SIZE] = {};
    Curl curl = NewCurl(cancel, errors);
    if (!curl) return {false, "curl_easy_init"};
    CURL* c = curl.get();
    const std::string target = Cp1250ToUtf8(url);
    curl_easy_setopt(c, CURLOPT_URL, target.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    List list(curl_slist_append(nullptr, "Content-Type: application/json; charset=utf-8"));
    std::size_t at = 0;
    while (at < headers.size()) {
        const std::size_t end = headers.find('\n', at);
        const std::string line = headers.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty()) curl_slist_append(list.get(), line.c_str());
        at = end == std::string::npos ? headers.size() : end + 1;
    }
    curl_slist_append(list.get(), "Expect:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Discard);
    const CURLcode code = curl_easy_perform(c);
    if (code != CURLE_OK) return Outcome(code, errors);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) return {false, "HTTP " + std::to_string(status)};
    return {true, {}};
}

}  // namespace serwer
