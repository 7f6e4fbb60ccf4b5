// One HTTP/1.0 GET of an http:// URL on the reactor, directly or through a SOCKS5 proxy. Reads
// until the server closes, then hands the body (or a reason) to its owner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "peer/AsyncSocket.h"

namespace velbrook {

// Receives exactly one report per request (none for a request its owner abandons).
class HttpOwner {
public:
    virtual ~HttpOwner() = default;
    virtual void OnResponse(const std::string& body) = 0;
    virtual void OnFailure(const std::string& reason, bool noRetry) = 0;
    virtual void OnFatal(const std::string& reason) = 0;
};

enum class HttpClientState {
    Idle = 0,
    Connecting = 1,
    Transfer = 2,
    ProxyConnecting = 4,
    ProxyGreeting = 5,
    ProxyFailed = 6,
    ProxyConnectSent = 7,
    ProxyAuthSent = 8,
    ProxyAuthFailed = 9,
};

// The parts of an http:// URL. False when it is not one, or holds a space or control byte.
struct HttpUrl {
    std::string host;
    uint16_t port = 80;
    std::string object;  // path and query, "/" when the URL has none
};
bool SplitHttpUrl(std::string_view url, HttpUrl& out);

// What a server sent before closing, read the way the client reads it: the header ends at the
// first blank line ("\r\n\r\n" or "\n\n", whichever comes first); the status line must mention
// 200 or 302, and after a 302 the first line naming a Location redirects. Pure, so it can be
// fuzzed on its own.
enum class HttpAnswerKind {
    Empty,         // not a single byte
    NoBlankLine,   // the header never ends
    RejectedLine,  // `line` is the header line that was refused
    Redirect,      // `line` is the Location line, `url` where it points
    Body,          // `body` is everything after the blank line
};
struct HttpAnswer {
    HttpAnswerKind kind = HttpAnswerKind::Empty;
    std::string line;
    std::string url;
    std::string body;
};
HttpAnswer ParseHttpAnswer(std::string_view input);

class HttpClient : public AsyncSocket {
public:
    // Answers above this size are abandoned: no tracker sends anything near it.
    static constexpr size_t kMaxAnswer = size_t{8} << 20;
    // A tracker that accepts the connection and then says nothing is given up after this.
    static constexpr uint32_t kSilenceTimeoutMs = 60000;
    static constexpr int kMaxRedirects = 5;

    explicit HttpClient(HttpOwner& owner);
    ~HttpClient() override;

    // Begins the request. False with the reason in `error` when it could not start (nothing is
    // reported to the owner then).
    bool Start(const std::string& url, std::string& error);
    HttpClientState State() const { return m_state; }
    const std::string& Url() const { return m_url; }
    // Shortens the silence allowed from the next request on, so tests need not wait a minute.
    void SetSilenceTimeoutForTest(uint32_t ms);

protected:
    void OnConnect(int error) override;
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnClose(int error) override;

private:
    bool Begin(const std::string& url, std::string& error);
    void Queue(const std::string& bytes);
    void WantReading();
    void ArmSilenceTimer();
    void StopSilenceTimer();
    void Finish();
    void Abandon(const std::string& reason);
    void PostFailure(const std::string& reason);
    void EndOfAnswer();
    void ProxyStep();
    void ProxyConnectReply();
    void SendProxyAuth();
    void SendProxyConnect();
    void ProxyFail(HttpClientState state, const std::string& reason);
    void SendRequest();
    bool HasReported() const;

    struct Impl;
    std::unique_ptr<Impl> m_impl;
    HttpOwner& m_owner;
    HttpClientState m_state = HttpClientState::Idle;
    std::string m_url;
};

}  // namespace velbrook
