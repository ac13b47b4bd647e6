#include "jsonrpc/CppHttpLibClientConnector.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "jsonrpc/JsonRpcException.h"

namespace jsonrpc {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr const char* kStatusError = "client connector error, received status != 200";
// The most one read takes off the connection; the bounds are checked after each.
constexpr size_t kReadBytes = 16 * 1024;
// What the connector may hold of an answer at once. The bounds keep what the
// parser holds unended far below it (a header section, a chunk-size line and
// a trailer section) plus one read.
constexpr size_t kHeldBytes = 64 * 1024;

[[noreturn]] void fail(const std::string& why) { throw JsonRpcException(kConnectorError, kStatusError, why); }

// The status line, header lines, the blank line and trailer lines of an
// answer, and the length of every line outside its body, against their bounds.
class LineTally {
public:
    explicit LineTally(const HttpAnswerBounds& bounds) : bounds_(bounds) {}

    // Bytes of a header or trailer section, from a line's start; returns the
    // bound passed first, if any.
    std::optional<std::string> addHeaderBytes(std::string_view bytes) { return add(bytes, true); }

    // Bytes of the chunk framing from a line's start: the line end of the
    // chunk before, a chunk-size line and, after the last chunk's, the trailer.
    std::optional<std::string> addFraming(std::string_view bytes) {
        const std::string_view chunkEnd = bytes.starts_with("\r\n") ? "\r\n" : bytes == "\r" ? "\r" : "";
        bytes.remove_prefix(chunkEnd.size());
        const size_t sizeLineEnd = bytes.find('\n');
        const size_t sizeLineLength = sizeLineEnd == std::string_view::npos ? bytes.size() : sizeLineEnd + 1;
        if (auto refusal = add(bytes.substr(0, sizeLineLength), false)) return refusal;
        return add(bytes.substr(sizeLineLength), true);
    }

private:
    std::optional<std::string> add(std::string_view bytes, bool headerLines) {
        for (const char c : bytes) {
            if (++lineBytes_ > bounds_.maxLineBytes) {
                return "a line of the answer exceeds " + std::to_string(bounds_.maxLineBytes) + " bytes";
            }
            if (headerLines && ++headerBytes_ > bounds_.maxHeaderBytes) {
                return "header lines of the answer exceed the bound of " + std::to_string(bounds_.maxHeaderBytes) +
                       " bytes";
            }
            if (c != '\n') continue;
            lineBytes_ = 0;
            if (headerLines && ++headerLines_ > bounds_.maxHeaderLines) {
                return "answer has more than " + std::to_string(bounds_.maxHeaderLines) + " header lines";
            }
        }
        return std::nullopt;
    }

    const HttpAnswerBounds& bounds_;
    size_t headerLines_ = 0;
    size_t headerBytes_ = 0;
    size_t lineBytes_ = 0;
};

// One HTTP answer taken apart: its status and its body, whole.
class AnswerParser : public http::basic_parser<false> {
public:
    AnswerParser(const HttpAnswerBounds& bounds, size_t maxBodyBytes) {
        header_limit(static_cast<std::uint32_t>(std::min<size_t>(bounds.maxHeaderBytes, UINT32_MAX)));
        body_limit(maxBodyBytes);
    }

    int status() const { return status_; }
    std::string& body() { return body_; }
    // The parser is between chunks (or past the last): what it holds is framing.
    bool inFraming() const { return is_header_done() && chunked() && chunkLeft_ == 0; }

private:
    void on_request_impl(http::verb, beast::string_view, beast::string_view, int, beast::error_code&) override {}
    void on_response_impl(int code, beast::string_view, int, beast::error_code&) override { status_ = code; }
    void on_field_impl(http::field, beast::string_view, beast::string_view, beast::error_code&) override {}
    void on_header_impl(beast::error_code&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, beast::error_code&) override {}
    size_t on_body_impl(beast::string_view data, beast::error_code&) override {
        body_.append(data.data(), data.size());
        return data.size();
    }
    void on_chunk_header_impl(std::uint64_t size, beast::string_view, beast::error_code&) override {
        chunkLeft_ = size;
    }
    size_t on_chunk_body_impl(std::uint64_t remain, beast::string_view data, beast::error_code&) override {
        chunkLeft_ = remain - data.size();
        body_.append(data.data(), data.size());
        return data.size();
    }
    void on_finish_impl(beast::error_code&) override {}

    int status_ = 0;
    std::string body_;
    std::uint64_t chunkLeft_ = 0;
};

std::string_view heldIn(const beast::flat_buffer& buffer) {
    return {static_cast<const char*>(buffer.data().data()), buffer.size()};
}

}  // namespace

// One post: its own io_context, connection and parser. Every asynchronous
// step runs on the calling thread; cut() (from any thread) stops the
// io_context, and the step under way then ends the post.
class CppHttpLibClientConnector::Exchange {
public:
    explicit Exchange(const CppHttpLibClientConnector& owner)
        : owner_(owner), start_(Clock::now()), deadline_(start_ + owner.timeouts_.answer), tally_(owner.answerBounds_) {}

    std::string post(const std::string& text) {
        connect();
        send(text);
        receive();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
        if (parser_->status() != 200) throw JsonRpcException(kConnectorError, kStatusError, parser_->status());
        return std::move(parser_->body());
    }

    void cut() { io_.stop(); }

private:
    // Runs the io_context until the step under way has set its outcome.
    void runUntil(const std::optional<beast::error_code>& outcome) {
        while (!outcome) {
            if (io_.run_one() == 0) fail("post cut short");
        }
    }

    [[noreturn]] void failLate() const {
        fail("no whole answer within " + std::to_string(owner_.timeouts_.answer.count()) + " ms");
    }

    void connect() {
        const Clock::time_point connectBy = std::min(deadline_, start_ + owner_.timeouts_.connect);
        const auto connectMs = std::chrono::duration_cast<std::chrono::milliseconds>(connectBy - start_).count();
        const std::string late = "no connection within " + std::to_string(connectMs) + " ms";
        std::vector<tcp::endpoint> endpoints;
        beast::error_code ec;
        const net::ip::address address = net::ip::make_address(owner_.host_, ec);
        if (!ec) {
            endpoints.emplace_back(address, static_cast<unsigned short>(owner_.port_));
        } else {
            // A name: looked up by the system's resolver and given up at the
            // connect limit. A lookup already under way in the resolver's
            // thread still ends in its own time (the system resolver's
            // timeouts) before the post returns; an address needs none.
            std::optional<beast::error_code> outcome;
            timer_.expires_at(connectBy);
            timer_.async_wait([this](beast::error_code timerEc) {
                if (!timerEc) resolver_.cancel();
            });
            resolver_.async_resolve(owner_.host_, std::to_string(owner_.port_), tcp::resolver::numeric_service,
                                    [&](beast::error_code resolveEc, const tcp::resolver::results_type& results) {
                                        for (const auto& entry : results) endpoints.push_back(entry.endpoint());
                                        outcome = resolveEc;
                                    });
            runUntil(outcome);
            timer_.cancel();
            if (*outcome == net::error::operation_aborted) fail(late);
            if (*outcome) fail("cannot look up " + owner_.host_ + ": " + outcome->message());
        }
        std::optional<beast::error_code> outcome;
        stream_.expires_at(connectBy);
        stream_.async_connect(endpoints, [&](beast::error_code connectEc, const tcp::endpoint&) { outcome = connectEc; });
        runUntil(outcome);
        if (*outcome == beast::error::timeout) fail(late);
        if (*outcome) fail("cannot connect to " + owner_.host_ + ":" + std::to_string(owner_.port_) + ": " +
                           outcome->message());
    }

    void send(const std::string& text) {
        // An IPv6 address goes in brackets.
        const std::string& host = owner_.host_;
        const bool bareIpv6 = host.find(':') != std::string::npos && !host.starts_with('[');
        request_.method(http::verb::post);
        request_.target("/jsonrpc");
        request_.version(11);
        request_.set(http::field::host, (bareIpv6 ? "[" + host + "]" : host) + ":" + std::to_string(owner_.port_));
        request_.set(http::field::content_type, "application/json");
        // One connection per post.
        request_.set(http::field::connection, "close");
        request_.body() = text;
        request_.prepare_payload();
        std::optional<beast::error_code> outcome;
        stream_.expires_at(deadline_);
        http::async_write(stream_, request_, [&](beast::error_code ec, size_t) { outcome = ec; });
        runUntil(outcome);
        if (*outcome == beast::error::timeout) failLate();
        if (*outcome) fail("cannot send the post: " + outcome->message());
    }

    void receive() {
        const HttpAnswerBounds& bounds = owner_.answerBounds_;
        parser_.emplace(bounds, owner_.maxResponseBytes_);
        size_t received = 0;
        while (!parse()) {
            // One byte past the bound is enough to know it was passed.
            const size_t room = std::min({kReadBytes, bounds.maxAnswerBytes - received + 1, kHeldBytes - buffer_.size()});
            if (room == 0) fail("answer holds more than " + std::to_string(kHeldBytes) + " bytes unparsed");
            std::optional<beast::error_code> outcome;
            size_t got = 0;
            stream_.expires_at(deadline_);
            stream_.async_read_some(buffer_.prepare(room), [&](beast::error_code ec, size_t count) {
                got = count;
                outcome = ec;
            });
            runUntil(outcome);
            buffer_.commit(got);
            received += got;
            if (received > bounds.maxAnswerBytes) {
                fail("answer exceeds the bound of " + std::to_string(bounds.maxAnswerBytes) + " bytes");
            }
            if (*outcome == beast::error::timeout) failLate();
            if (*outcome == net::error::eof) {
                // An answer without a length ends with the connection.
                beast::error_code ec;
                if (parser_->got_some()) parser_->put_eof(ec);
                if (parser_->got_some() && !ec && parse()) return;
                fail("the server closed the connection before the answer ended");
            }
            if (*outcome && *outcome != net::error::eof) fail("cannot read the answer: " + outcome->message());
        }
    }

    // Gives the parser what is held; true once the final answer is whole.
    // Each put takes one step (a header, a piece of the body, a chunk's
    // framing), so the bytes it took are known to be of that step.
    bool parse() {
        for (;;) {
            if (parser_->is_done()) {
                // The final answer follows a 1xx one on the same connection.
                if (parser_->status() / 100 != 1) return true;
                parser_.emplace(owner_.answerBounds_, owner_.maxResponseBytes_);
            }
            const std::string_view held = heldIn(buffer_);
            if (held.empty()) return false;
            const bool inHeader = !parser_->is_header_done();
            const bool inFraming = parser_->inFraming();
            beast::error_code ec;
            const size_t used = parser_->put(net::buffer(held.data(), held.size()), ec);
            if (inHeader) checked(tally_.addHeaderBytes(held.substr(0, used)));
            if (inFraming) checked(tally_.addFraming(held.substr(0, used)));
            buffer_.consume(used);
            if (!ec && used == 0 && !parser_->is_done()) return false;
            if (!ec) continue;
            // What the parser holds unended counts too, so a section that
            // never ends is given up at its bound.
            LineTally withHeld = tally_;
            if (!parser_->is_header_done()) checked(withHeld.addHeaderBytes(heldIn(buffer_)));
            if (parser_->inFraming()) checked(withHeld.addFraming(heldIn(buffer_)));
            if (ec == http::error::need_more) return false;
            if (ec == http::error::body_limit) {
                throw JsonRpcException(kParseError, "response exceeds the bound of " +
                                                        std::to_string(owner_.maxResponseBytes_) + " bytes");
            }
            fail("cannot read the answer: " + ec.message());
        }
    }

    static void checked(const std::optional<std::string>& refusal) {
        if (refusal) fail(*refusal);
    }

    const CppHttpLibClientConnector& owner_;
    const Clock::time_point start_;
    const Clock::time_point deadline_;
    LineTally tally_;
    // Before the io_context: its pending handlers may refer to them until it goes.
    http::request<http::string_body> request_;
    beast::flat_buffer buffer_{kHeldBytes};
    std::optional<AnswerParser> parser_;
    net::io_context io_{1};
    // Keeps run_one() waiting between steps; only cut() stops the io_context.
    net::executor_work_guard<net::io_context::executor_type> work_ = net::make_work_guard(io_);
    tcp::resolver resolver_{io_};
    net::steady_timer timer_{io_};
    beast::tcp_stream stream_{io_};
};

CppHttpLibClientConnector::CppHttpLibClientConnector(const std::string& host, int port, const HttpTimeouts& timeouts,
                                                     size_t maxResponseBytes, const HttpAnswerBounds& answerBounds)
    : host_(host), port_(port), timeouts_(timeouts), maxResponseBytes_(maxResponseBytes), answerBounds_(answerBounds) {}

CppHttpLibClientConnector::~CppHttpLibClientConnector() = default;

std::string CppHttpLibClientConnector::Send(const std::string& request) {
    Exchange exchange(*this);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_.load()) fail("post cut short");
        exchange_ = &exchange;
    }
    struct Unregister {
        CppHttpLibClientConnector& self;
        ~Unregister() {
            std::lock_guard<std::mutex> lock(self.mutex_);
            self.exchange_ = nullptr;
        }
    } unregister{*this};
    return exchange.post(request);
}

void CppHttpLibClientConnector::stop() {
    stopped_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    if (exchange_ != nullptr) exchange_->cut();
}

}  // namespace jsonrpc
