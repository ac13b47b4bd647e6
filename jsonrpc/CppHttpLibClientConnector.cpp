#include "jsonrpc/CppHttpLibClientConnector.h"

#include <curl/curl.h>

#include <mutex>
#include <optional>
#include <stdexcept>

#include "jsonrpc/JsonRpcException.h"

namespace jsonrpc {

namespace {

constexpr const char* kStatusError = "client connector error, received status != 200";

// libcurl's global set-up is not safe against other threads; it runs once,
// before the first handle.
void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("curl_global_init failed");
    });
}

std::string urlOf(const std::string& host, int port) {
    // An IPv6 address goes in brackets.
    const bool bareIpv6 = host.find(':') != std::string::npos && !host.starts_with('[');
    return "http://" + (bareIpv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/jsonrpc";
}

}  // namespace

// The libcurl handles of one connector and the state of the post under way.
struct CppHttpLibClientConnector::Transfer {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_slist* headers = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};

    // Of the post under way.
    const CppHttpLibClientConnector* owner = nullptr;
    std::string body;
    bool bodyTooLong = false;
    size_t headerLines = 0;
    size_t headerBytes = 0;
    size_t answerBytes = 0;
    std::optional<std::string> refusal;  // a bound of the answer that was passed

    ~Transfer() {
        if (multi != nullptr && easy != nullptr) curl_multi_remove_handle(multi, easy);
        if (easy != nullptr) curl_easy_cleanup(easy);
        if (multi != nullptr) curl_multi_cleanup(multi);
        if (headers != nullptr) curl_slist_free_all(headers);
    }

    void begin() {
        body.clear();
        bodyTooLong = false;
        headerLines = 0;
        headerBytes = 0;
        answerBytes = 0;
        refusal.reset();
        errorText[0] = '\0';
    }

    // False (and the refusal noted) once the answer has passed its byte bound.
    bool withinAnswerBytes() {
        const size_t bound = owner->answerBounds_.maxAnswerBytes;
        if (answerBytes <= bound) return true;
        if (!refusal) refusal = "answer exceeds the bound of " + std::to_string(bound) + " bytes";
        return false;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto& t = *static_cast<Transfer*>(user);
        const size_t length = size * count;
        if (length > t.owner->maxResponseBytes_ - t.body.size()) {
            t.bodyTooLong = true;
            return 0;  // stops the transfer
        }
        t.body.append(data, length);
        return length;
    }

    // Status line, each header line, the blank line and each trailer line, whole.
    static size_t onHeaderLine(char*, size_t size, size_t count, void* user) {
        auto& t = *static_cast<Transfer*>(user);
        const HttpAnswerBounds& bounds = t.owner->answerBounds_;
        const size_t length = size * count;
        ++t.headerLines;
        t.headerBytes += length;
        if (t.headerLines > bounds.maxHeaderLines) {
            t.refusal = "answer has more than " + std::to_string(bounds.maxHeaderLines) + " header lines";
            return 0;
        }
        if (t.headerBytes > bounds.maxHeaderBytes) {
            t.refusal = "header lines of the answer exceed the bound of " + std::to_string(bounds.maxHeaderBytes) +
                        " bytes";
            return 0;
        }
        return length;
    }

    // Sees every byte as it came off the connection, before libcurl takes
    // the framing apart; its result is not looked at by libcurl.
    static int onTrace(CURL*, curl_infotype type, char*, size_t length, void* user) {
        auto& t = *static_cast<Transfer*>(user);
        if (type == CURLINFO_HEADER_IN || type == CURLINFO_DATA_IN) t.answerBytes += length;
        return 0;
    }

    // Called while the transfer runs, at least once a second.
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto& t = *static_cast<Transfer*>(user);
        if (t.owner->stopped_.load()) return 1;
        return t.withinAnswerBytes() ? 0 : 1;
    }
};

CppHttpLibClientConnector::CppHttpLibClientConnector(const std::string& host, int port, const HttpTimeouts& timeouts,
                                                     size_t maxResponseBytes, const HttpAnswerBounds& answerBounds)
    : host_(host), port_(port), timeouts_(timeouts), maxResponseBytes_(maxResponseBytes), answerBounds_(answerBounds),
      transfer_(std::make_unique<Transfer>()) {
    initialiseCurlOnce();
    Transfer& t = *transfer_;
    t.owner = this;
    t.easy = curl_easy_init();
    t.multi = curl_multi_init();
    t.headers = curl_slist_append(nullptr, "Content-Type: application/json");
    // No "Expect: 100-continue" round trip for a larger body.
    if (t.headers != nullptr) t.headers = curl_slist_append(t.headers, "Expect:");
    if (t.easy == nullptr || t.multi == nullptr || t.headers == nullptr) {
        throw std::runtime_error("cannot set up the HTTP client");
    }
    CURL* e = t.easy;
    const std::string url = urlOf(host, port);
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // The server named in the configuration, never a proxy from the environment.
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    // One connection per post, as cpp-httplib's client did without keep-alive.
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.answer.count()));
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorText);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::onHeaderLine);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    // The trace callback counts the bytes received; it needs "verbose", and
    // as it is set libcurl writes nothing of its own to standard error.
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, &Transfer::onTrace);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
}

CppHttpLibClientConnector::~CppHttpLibClientConnector() = default;

std::string CppHttpLibClientConnector::Send(const std::string& request) {
    Transfer& t = *transfer_;
    t.begin();
    curl_easy_setopt(t.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.size()));
    curl_easy_setopt(t.easy, CURLOPT_POSTFIELDS, request.c_str());
    if (curl_multi_add_handle(t.multi, t.easy) != CURLM_OK) {
        throw JsonRpcException(kConnectorError, kStatusError, "cannot start the post");
    }
    std::optional<CURLcode> outcome;
    while (!outcome && !stopped_.load()) {
        int running = 0;
        if (curl_multi_perform(t.multi, &running) != CURLM_OK) break;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(t.multi, &left)) {
            if (message->msg == CURLMSG_DONE) outcome = message->data.result;
        }
        if (outcome || running == 0) break;
        if (!t.withinAnswerBytes()) break;
        // Woken by the sockets, libcurl's own timers or stop().
        if (curl_multi_poll(t.multi, nullptr, 0, 1000, nullptr) != CURLM_OK) break;
    }
    curl_multi_remove_handle(t.multi, t.easy);
    curl_easy_setopt(t.easy, CURLOPT_POSTFIELDS, nullptr);

    if (t.bodyTooLong) {
        throw JsonRpcException(kParseError,
                               "response exceeds the bound of " + std::to_string(maxResponseBytes_) + " bytes");
    }
    if (t.refusal) throw JsonRpcException(kConnectorError, kStatusError, *t.refusal);
    if (stopped_.load()) throw JsonRpcException(kConnectorError, kStatusError, "post cut short");
    if (!outcome) throw JsonRpcException(kConnectorError, kStatusError, "post ended without an outcome");
    if (*outcome != CURLE_OK) {
        std::string why;
        if (*outcome == CURLE_OPERATION_TIMEDOUT) {
            why = "no whole answer within " + std::to_string(timeouts_.answer.count()) + " ms";
            if (t.errorText[0] != '\0') why += std::string(" (") + t.errorText + ")";
        } else if (*outcome == CURLE_OUT_OF_MEMORY) {
            // libcurl's bound of one status or header line (or really no memory).
            why = "a line of the answer exceeds " + std::to_string(CURL_MAX_HTTP_HEADER) + " bytes";
        } else {
            why = t.errorText[0] != '\0' ? t.errorText : curl_easy_strerror(*outcome);
        }
        throw JsonRpcException(kConnectorError, kStatusError, why);
    }
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) throw JsonRpcException(kConnectorError, kStatusError, status);
    return std::move(t.body);
}

void CppHttpLibClientConnector::stop() {
    stopped_ = true;
    curl_multi_wakeup(transfer_->multi);
}

}  // namespace jsonrpc
