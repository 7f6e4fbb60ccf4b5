// One HTTP/1.0 GET of an http:// or https:// URL on the reactor, directly or through a SOCKS5
// proxy (inside whose tunnel TLS then runs). Reads until the server closes, or until the body its
// Content-Length announces has arrived, then hands the body (or a reason) to its owner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/AsyncSocket.h"
#include "net/Socks5.h"
#include "net/TlsContext.h"

namespace velbrook {

// Receives exactly one report per request (none for a request its owner abandons). An owner done
// with the client inside a report hands it to Reactor::DeleteLater.
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
    TlsHandshake = 10,  // connected (or tunnelled); the request waits for the handshake
};

// The parts of an http:// or https:// URL. False when it is neither, or holds a space or control
// byte.
struct HttpUrl {
    bool secure = false;  // https
    std::string host;
    uint16_t port = 80;  // 443 for https when the URL names none
    std::string object;  // path and query, "/" when the URL has none
};
[[nodiscard]] bool SplitHttpUrl(std::string_view url, HttpUrl& out);

// `text` begins with `prefix` (lower case), in any case: URL schemes, header names, host names.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// Where the body of an answer starts: right after the first blank line, "\r\n\r\n" or "\n\n",
// whichever comes first; npos while the header has not ended. `from` skips a prefix already known
// to hold no blank line (a caller searching as bytes arrive backs up three bytes for a split one).
size_t FindHttpBody(std::string_view input, size_t from = 0);

// The Content-Length given by the header in `head` (the input up to where its body starts): the
// first such line, its name in any case. False when there is none or its value is not a plain
// decimal number; a number too large for 64 bits reads as the largest one.
[[nodiscard]] bool FindContentLength(std::string_view head, uint64_t& length);

// What a server sent, read the way the client reads it: the header ends as FindHttpBody says; the
// status line must mention 200, carry a 301, 302, 303, 307 or 308 code or mention 302, and after a
// redirecting status the first header named Location redirects. A body is cut to the header's
// Content-Length. Pure, so it can be fuzzed on its own.
enum class HttpAnswerKind {
    Empty,         // not a single byte
    NoBlankLine,   // the header never ends
    RejectedLine,  // `line` is the header line that was refused
    Redirect,      // `line` is the Location line, `url` its trimmed value (maybe relative)
    Body,          // `body` is what follows the blank line
};
struct HttpAnswer {
    HttpAnswerKind kind = HttpAnswerKind::Empty;
    std::string line;
    std::string url;
    std::string body;
};
[[nodiscard]] HttpAnswer ParseHttpAnswer(std::string_view input);

// Where a Location value points when read against the URL that answered with it: absolute URLs
// are kept as they are (whatever their scheme), "//host/path" takes the current scheme, "/path"
// the same scheme, host and port, and anything else the folder of the current path. A fragment is
// dropped: it is never sent to a server.
std::string ResolveLocation(const HttpUrl& base, std::string_view location);

class HttpClient : public AsyncSocket {
public:
    // Answers above this size are abandoned: no tracker sends anything near it.
    static constexpr size_t kMaxAnswer = size_t{8} << 20;
    // A tracker that accepts the connection and then says nothing is given up after this.
    static constexpr Duration kSilenceTimeout = std::chrono::seconds(60);
    // A tracker that trickles its answer keeps re-arming the silence timer; the whole request,
    // redirects included, must still end within this.
    static constexpr Duration kDeadline = std::chrono::seconds(120);
    static constexpr int kMaxRedirects = 5;

    // Its time limits run on `clock`; every request of this client, redirects included, goes
    // through `proxy` when it is enabled. An https:// server's certificate must be one `trust`
    // vouches for and name the URL's host, unless `checkCertificates` is false (one's own
    // trackers with a certificate of their own making).
    HttpClient(HttpOwner& owner, Clock& clock, ProxyConfig proxy, bool checkCertificates = true,
               TlsContext& trust = TlsContext::SystemStore());
    ~HttpClient() override;

    // Begins the request. False with the reason in `error` when it could not start (nothing is
    // reported to the owner then).
    [[nodiscard]] bool Start(const std::string& url, std::string& error);
    HttpClientState State() const { return m_state; }
    const std::string& Url() const { return m_url; }

protected:
    void OnConnect(int error) override;
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnClose(int error) override;

private:
    [[nodiscard]] bool Begin(const std::string& url, std::string& error);
    void Queue(const std::string& bytes);
    void WantReading();
    void ArmTimer(Timer& timer, Duration limit);
    void StopTimers();
    void Finish();
    void Abandon(const std::string& reason);
    [[nodiscard]] bool EndIfComplete();
    void EndOfAnswer();
    void FollowRedirect(const std::string& location);
    void ProxyStep();
    void ProxyConnectReply();
    void SendProxyRequest(HttpClientState next);
    void ProxyFail(HttpClientState state, const std::string& reason);
    void SendRequest();
    void StartTls();
    void HandshakeStep();
    void ReceiveTls(std::string_view bytes);
    void TakeTlsOutput();
    void ReadInput();
    bool HasReported() const;

    struct Impl;
    std::unique_ptr<Impl> m_impl;
    HttpOwner& m_owner;
    Clock& m_clock;
    const ProxyConfig m_proxy;
    const bool m_checkCertificates;
    TlsContext& m_trust;
    HttpClientState m_state = HttpClientState::Idle;
    std::string m_url;
};

}  // namespace velbrook
