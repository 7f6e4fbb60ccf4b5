#include "tracker/HttpClient.h"

#include <algorithm>
#include <cerrno>
#include <sys/types.h>
#include <utility>

#include "net/Address.h"
#include "net/Socks5.h"
#include "net/TlsSession.h"

namespace velbrook {

namespace {

constexpr unsigned kReadClose = kSocketRead | kSocketClose;
constexpr unsigned kWriteClose = kSocketWrite | kSocketClose;
constexpr unsigned kReadWriteClose = kSocketRead | kSocketWrite | kSocketClose;
constexpr size_t kReadChunk = 30000;

const char* const kProtocolError = "Socks5 server protocal error!";

constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;

uint16_t DefaultPort(bool secure) {
    return secure ? kHttpsPort : kHttpPort;
}

// A host as a URL or a Host header writes it: an IPv6 address in brackets.
std::string UrlHost(const std::string& host) {
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAlpha(char c) {
    return Lower(c) >= 'a' && Lower(c) <= 'z';
}

bool StartsWithHttp(std::string_view url) {
    return StartsWithNoCase(url, "http://");
}

bool StartsWithHttps(std::string_view url) {
    return StartsWithNoCase(url, "https://");
}

// Header lines of an answer whose header ended "\n\n" may still carry a CR.
std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r";
    const size_t first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// True when `line` is a header named `name` (lower case, compared in any case); `value` is what
// follows its colon, trimmed. A name merely mentioned inside another line does not count.
bool HeaderValue(std::string_view line, std::string_view name, std::string_view& value) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    const std::string_view lineName = Trim(line.substr(0, colon));
    if (lineName.size() != name.size() || !StartsWithNoCase(lineName, name))
        return false;
    value = Trim(line.substr(colon + 1));
    return true;
}

// The three-digit code after the protocol name ("HTTP/1.1 301 Moved"), 0 when there is none.
int StatusCode(std::string_view line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return 0;
    line.remove_prefix(space);
    line = line.substr(std::min(line.find_first_not_of(' '), line.size()));
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]) ||
        (line.size() > 3 && line[3] != ' ')) {
        return 0;
    }
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool IsRedirectCode(int code) {
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

// How the lines of a header that ends where the body starts are ended.
std::string_view LineEnd(std::string_view input, size_t bodyStart) {
    return bodyStart >= 4 && input.substr(bodyStart - 4, 4) == "\r\n\r\n" ? "\r\n" : "\n";
}

// Calls `visit` with each line of `head` (the input up to where its body starts) but the status
// line, until it returns true.
template <typename Visit>
void VisitHeaderLines(std::string_view head, Visit visit) {
    const std::string_view lineEnd = LineEnd(head, head.size());
    // Without the blank line's own ending, every line is still found whole.
    const std::string_view header = head.substr(0, head.size() - lineEnd.size());
    bool statusLine = true;
    for (size_t at = 0; at < header.size();) {
        const size_t end = header.find(lineEnd, at);
        const std::string_view line = header.substr(at, end - at);
        at = end + lineEnd.size();
        if (statusLine) {
            statusLine = false;
            continue;
        }
        if (visit(line))
            return;
    }
}

// A scheme ("https:", "udp:") before anything else makes a Location absolute.
bool HasScheme(std::string_view location) {
    if (location.empty() || !IsAlpha(location.front()))
        return false;
    for (const char c : location.substr(1)) {
        if (c == ':')
            return true;
        if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return false;
}

// A space or control byte would end up raw in the request line and split it.
bool HasUnsafeByte(std::string_view url) {
    return std::any_of(url.begin(), url.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    });
}

}  // namespace

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != prefix[i])
            return false;
    }
    return true;
}

bool SplitHttpUrl(std::string_view url, HttpUrl& out) {
    const bool secure = StartsWithHttps(url);
    if ((!secure && !StartsWithHttp(url)) || HasUnsafeByte(url))
        return false;
    std::string_view rest = url.substr(secure ? 8 : 7);
    HttpUrl parts;
    parts.secure = secure;
    parts.port = DefaultPort(secure);
    if (!rest.empty() && rest.front() == '[') {
        // An IPv6 address, in brackets so that its colons are not read as the port's.
        const size_t close = rest.find(']');
        if (close == std::string_view::npos || !IsIPv6(rest.substr(1, close - 1)))
            return false;
        parts.host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest.front() != ':' && rest.front() != '/' && rest.front() != '?')
            return false;
    } else {
        const size_t hostEnd = std::min(rest.find_first_of(":/?"), rest.size());
        if (hostEnd == 0)
            return false;
        parts.host = std::string(rest.substr(0, hostEnd));
        rest.remove_prefix(hostEnd);
    }
    if (!rest.empty() && rest.front() == ':') {
        rest.remove_prefix(1);
        const size_t digits = std::min(rest.find_first_not_of("0123456789"), rest.size());
        if (digits == 0 || digits > 5)
            return false;
        uint32_t port = 0;
        for (size_t i = 0; i < digits; ++i)
            port = port * 10 + static_cast<uint32_t>(rest[i] - '0');
        if (port == 0 || port > 65535)
            return false;
        parts.port = static_cast<uint16_t>(port);
        rest.remove_prefix(digits);
        if (!rest.empty() && rest.front() != '/' && rest.front() != '?')
            return false;
    }
    parts.object.clear();
    if (rest.empty() || rest.front() == '?') {
        parts.object.push_back('/');
    }
    parts.object.append(rest);
    out = std::move(parts);
    return true;
}

size_t FindHttpBody(std::string_view input, size_t from) {
    // A header closed by "\n\n" may be followed by a binary body holding "\r\n\r\n"; the earlier
    // of the two is where the header really ends.
    const size_t crlf = input.find("\r\n\r\n", from);
    const size_t lf = input.find("\n\n", from);
    if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf))
        return crlf + 4;
    if (lf != std::string_view::npos)
        return lf + 2;
    return std::string_view::npos;
}

bool FindContentLength(std::string_view head, uint64_t& length) {
    bool found = false;
    VisitHeaderLines(head, [&](std::string_view line) {
        std::string_view value;
        if (!HeaderValue(line, "content-length", value))
            return false;
        if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
            return true;
        // Saturates: an absurd length must still read as too large, not wrap to a small one.
        uint64_t number = 0;
        for (const char c : value) {
            const auto digit = static_cast<uint64_t>(c - '0');
            number = number > (UINT64_MAX - digit) / 10 ? UINT64_MAX : number * 10 + digit;
        }
        length = number;
        found = true;
        return true;
    });
    return found;
}

HttpAnswer ParseHttpAnswer(std::string_view input) {
    HttpAnswer answer;
    if (input.empty())
        return answer;
    const size_t bodyStart = FindHttpBody(input);
    if (bodyStart == std::string_view::npos) {
        answer.kind = HttpAnswerKind::NoBlankLine;
        return answer;
    }
    const std::string_view head = input.substr(0, bodyStart);
    const std::string_view statusLine = head.substr(0, head.find(LineEnd(input, bodyStart)));
    if (!Contains(statusLine, "200")) {
        if (!IsRedirectCode(StatusCode(statusLine)) && !Contains(statusLine, "302")) {
            answer.kind = HttpAnswerKind::RejectedLine;
            answer.line = std::string(statusLine);
            return answer;
        }
        VisitHeaderLines(head, [&answer](std::string_view line) {
            std::string_view value;
            if (!HeaderValue(line, "location", value))
                return false;
            answer.kind = HttpAnswerKind::Redirect;
            answer.line = std::string(line);
            answer.url = std::string(value);
            return true;
        });
        if (answer.kind == HttpAnswerKind::Redirect)
            return answer;
    }
    answer.kind = HttpAnswerKind::Body;
    std::string_view body = input.substr(bodyStart);
    uint64_t length = 0;
    if (FindContentLength(head, length) && length < body.size())
        body = body.substr(0, static_cast<size_t>(length));
    answer.body = std::string(body);
    return answer;
}

std::string ResolveLocation(const HttpUrl& base, std::string_view location) {
    location = location.substr(0, location.find('#'));
    if (HasScheme(location))
        return std::string(location);
    const std::string scheme = base.secure ? "https:" : "http:";
    if (location.substr(0, 2) == "//")
        return scheme + std::string(location);
    std::string url = scheme + "//" + UrlHost(base.host);
    if (base.port != DefaultPort(base.secure))
        url += ":" + std::to_string(base.port);
    const std::string_view object = base.object;
    const std::string_view path = object.substr(0, object.find('?'));
    if (location.empty())
        url += object;  // the same document
    else if (location.front() == '/')
        url += location;
    else if (location.front() == '?')
        url.append(path).append(location);
    else
        url.append(path.substr(0, path.rfind('/') + 1)).append(location);
    return url;
}

struct HttpClient::Impl {
    HttpUrl target;
    std::string input;
    std::string output;
    // The SOCKS5 requests, made as the proxy connection opens.
    std::string authRequest;
    std::string connectRequest;
    // The TLS layer of an https:// request, from the moment its connection is open; `input`
    // and `output` then hold what goes in and out of it, `output` encrypted.
    std::unique_ptr<TlsSession> tls;
    Timer silenceTimer;
    Timer deadlineTimer;
    int redirects = 0;
    // Where the answer's body starts (npos until its header has arrived), how much of the input
    // has been searched for that, and the answer's whole size once a Content-Length gives it.
    size_t bodyStart = std::string::npos;
    size_t scanned = 0;
    size_t answerSize = 0;
};

HttpClient::HttpClient(HttpOwner& owner, Clock& clock, ProxyConfig proxy, bool checkCertificates,
                       TlsContext& trust)
    : m_impl(std::make_unique<Impl>()), m_owner(owner), m_clock(clock), m_proxy(std::move(proxy)),
      m_checkCertificates(checkCertificates), m_trust(trust) {}

HttpClient::~HttpClient() {
    StopTimers();
}

bool HttpClient::Start(const std::string& url, std::string& error) {
    m_impl->redirects = 0;
    m_impl->deadlineTimer.Stop();
    if (!Begin(url, error))
        return false;
    ArmTimer(m_impl->deadlineTimer, kDeadline);
    return true;
}

// Also the restart after a redirect, which keeps the request's deadline running.
bool HttpClient::Begin(const std::string& url, std::string& error) {
    Impl& d = *m_impl;
    d.silenceTimer.Stop();
    Close();
    m_state = HttpClientState::Idle;
    d.input.clear();
    d.output.clear();
    d.tls.reset();
    d.bodyStart = std::string::npos;
    d.scanned = 0;
    d.answerSize = 0;
    HttpUrl parts;
    if (!SplitHttpUrl(url, parts)) {
        error = "Error: can only use URLs beginning with http:// or https://";
        return false;
    }
    m_url = url;
    d.target = std::move(parts);
    if (!Create(0, kSocketConnect | kSocketClose)) {
        error = "Error: Creat Socket Error";
        return false;
    }
    if (m_proxy.enabled) {
        if (m_proxy.port == 0 || !Connect(m_proxy.host, m_proxy.port)) {
            Close();
            error = "Error: Start SOCKS5 Connection Error";
            return false;
        }
        m_state = HttpClientState::ProxyConnecting;
    } else {
        if (!Connect(d.target.host, d.target.port)) {
            Close();
            error = "Error: Start Socket Connection Error";
            return false;
        }
        m_state = HttpClientState::Connecting;
    }
    AsyncSelect(kSocketConnect | kSocketClose);
    ArmTimer(m_impl->silenceTimer, kSilenceTimeout);
    return true;
}

// ---- the timers and the end of a request ----

// Either timer abandons the request: the silence timer is restarted by every byte that arrives,
// so a slow tracker that keeps talking is not cut off while one that has gone quiet (or never
// finishes connecting) is; the deadline bounds the whole request, redirects included. Every way
// out of a request, and the destructor, stops both before `this` goes.
void HttpClient::ArmTimer(Timer& timer, Duration limit) {
    timer = m_clock.After(limit, [this] { Abandon("Tracker timed out."); });
}

void HttpClient::StopTimers() {
    m_impl->silenceTimer.Stop();
    m_impl->deadlineTimer.Stop();
}

void HttpClient::Finish() {
    StopTimers();
    Close();
    m_state = HttpClientState::Idle;
    m_impl->input.clear();
    m_impl->output.clear();
}

// Reports are the last thing a handler does: from inside them the owner may start another request
// or let this client go (through Reactor::DeleteLater).
void HttpClient::Abandon(const std::string& reason) {
    Finish();
    m_owner.OnFailure(reason, false);
}

bool HttpClient::HasReported() const {
    return m_state == HttpClientState::ProxyFailed || m_state == HttpClientState::ProxyAuthFailed;
}

// Once the header has arrived with a Content-Length, the answer ends with that many body bytes: a
// server that keeps the connection open after them is not waited for. Without one, the answer
// ends when the server closes. True when this has ended the request.
bool HttpClient::EndIfComplete() {
    Impl& d = *m_impl;
    if (d.bodyStart == std::string::npos) {
        d.bodyStart = FindHttpBody(d.input, d.scanned < 3 ? 0 : d.scanned - 3);
        d.scanned = d.input.size();
        uint64_t length = 0;
        if (d.bodyStart == std::string::npos ||
            !FindContentLength(std::string_view(d.input).substr(0, d.bodyStart), length)) {
            return false;
        }
        // Refused before its body arrives, just as it would be once it had.
        if (length > kMaxAnswer - d.bodyStart) {
            Abandon("Server response too large.");
            return true;
        }
        d.answerSize = d.bodyStart + static_cast<size_t>(length);
    }
    if (d.answerSize == 0 || d.input.size() < d.answerSize)
        return false;
    EndOfAnswer();
    return true;
}

void HttpClient::EndOfAnswer() {
    const HttpClientState state = m_state;
    const std::string input = std::move(m_impl->input);
    const HttpAnswer answer =
        state == HttpClientState::Transfer ? ParseHttpAnswer(input) : HttpAnswer{};
    if (answer.kind == HttpAnswerKind::Redirect) {
        // The answer that redirected tells the owner nothing; the request it leads to reports.
        FollowRedirect(answer.url);
        return;
    }
    Finish();
    if (state == HttpClientState::ProxyGreeting || state == HttpClientState::ProxyAuthSent ||
        state == HttpClientState::ProxyConnectSent) {
        // The proxy hung up in the middle of the exchange; the owner still needs its one report.
        m_owner.OnFailure(kProtocolError, false);
        return;
    }
    if (state == HttpClientState::TlsHandshake) {
        m_owner.OnFailure("TLS handshake failed: the server closed the connection", false);
        return;
    }
    if (state != HttpClientState::Transfer)
        return;  // already reported
    switch (answer.kind) {
    case HttpAnswerKind::Empty:
        m_owner.OnFailure("Server response 0 byte.", false);
        return;
    case HttpAnswerKind::NoBlankLine:
        m_owner.OnFailure("Can't find \\r\\n\\r\\n in server response.", false);
        return;
    case HttpAnswerKind::RejectedLine:
        m_owner.OnFatal("Header error:" + answer.line);
        return;
    case HttpAnswerKind::Redirect:  // followed above
        return;
    case HttpAnswerKind::Body:
        m_owner.OnResponse(answer.body);
        return;
    }
}

// A failed redirect is retried on the owner's back-off table: the tracker may be fixed later, and
// a fatal report would end announces for good.
void HttpClient::FollowRedirect(const std::string& location) {
    const std::string url = ResolveLocation(m_impl->target, location);
    if (m_impl->redirects >= kMaxRedirects) {
        Abandon("Tracker redirected more than " + std::to_string(kMaxRedirects) +
                " times, last to: " + url);
        return;
    }
    ++m_impl->redirects;
    if (!StartsWithHttp(url) && !StartsWithHttps(url)) {
        Abandon("Tracker redirected to a URL that is not http:// or https://, which is not "
                "supported: " +
                url);
        return;
    }
    HttpUrl parts;
    if (!SplitHttpUrl(url, parts)) {
        Abandon("Tracker redirected to an unusable URL: " + url);
        return;
    }
    std::string error;
    if (!Begin(url, error))
        Abandon(error);
}

// ---- socket notifications ----

void HttpClient::OnConnect(int error) {
    if (error != 0) {
        Abandon("Can't Connect Tracker: " + m_url);
        return;
    }
    if (m_state != HttpClientState::ProxyConnecting) {
        if (m_impl->target.secure) {
            StartTls();
            return;
        }
        m_state = HttpClientState::Transfer;
        SendRequest();
        return;
    }
    Impl& d = *m_impl;
    // A name or credential that SOCKS5 cannot carry fails before a byte is sent. The tracker's name
    // goes to the proxy as given, even a dotted address, so the proxy resolves it.
    if (!BuildSocks5ConnectName(d.target.host, d.target.port, d.connectRequest) ||
        !BuildSocks5Auth(m_proxy.user, m_proxy.password, d.authRequest)) {
        ProxyFail(HttpClientState::ProxyFailed, kProtocolError);
        return;
    }
    Queue(BuildSocks5Greeting(m_proxy.WithPassword()));
    m_state = HttpClientState::ProxyGreeting;
}

void HttpClient::Queue(const std::string& bytes) {
    Impl& d = *m_impl;
    if (d.tls) {
        std::string error;
        if (!d.tls->Write(bytes, error)) {
            Abandon(error);
            return;
        }
        TakeTlsOutput();
    } else {
        d.output += bytes;
    }
    AsyncSelect(kWriteClose);
}

// Reading from here on, and writing too while part of the request still waits.
void HttpClient::WantReading() {
    AsyncSelect(m_impl->output.empty() ? kReadClose : kReadWriteClose);
}

// Trackers behind shared front ends and virtual hosts answer only for the name they are asked
// for.
void HttpClient::SendRequest() {
    const HttpUrl& target = m_impl->target;
    std::string host = UrlHost(target.host);
    if (target.port != DefaultPort(target.secure))
        host += ":" + std::to_string(target.port);
    Queue("GET " + target.object + " HTTP/1.0\r\nHost: " + host +
          "\r\n"
          "Cache-Control: no-cache\r\n"
          "User-Agent: KORVEX 0.33\r\n"
          "\r\n");
}

void HttpClient::OnSend(int /*error*/) {
    std::string& output = m_impl->output;
    if (!output.empty()) {
        const ssize_t sent = Send(output.data(), output.size());
        if (sent < 0) {
            if (LastError() == EAGAIN || LastError() == EWOULDBLOCK)
                return;
            Abandon("Socket send error");
            return;
        }
        output.erase(0, static_cast<size_t>(sent));
    }
    // Asking for write with nothing to write would wake the loop on every pass.
    WantReading();
}

void HttpClient::OnReceive(int /*error*/) {
    char buffer[kReadChunk];
    const ssize_t received = Receive(buffer, sizeof buffer);
    if (received < 0) {
        if (LastError() == EAGAIN || LastError() == EWOULDBLOCK)
            return;
        if (HasReported())
            Finish();
        else
            Abandon("Socket receive error");
        return;
    }
    if (received == 0) {
        // Having read the end of the stream ourselves, no OnClose follows.
        EndOfAnswer();
        return;
    }
    // After a proxy failure the bytes are never used; they are read only to see the close.
    if (HasReported())
        return;
    ArmTimer(m_impl->silenceTimer, kSilenceTimeout);
    if (m_impl->tls) {
        ReceiveTls(std::string_view(buffer, static_cast<size_t>(received)));
        return;
    }
    m_impl->input.append(buffer, static_cast<size_t>(received));
    ReadInput();
}

// What has arrived in the input (decrypted, for https) moves the request on.
void HttpClient::ReadInput() {
    if (m_impl->input.size() > kMaxAnswer) {
        Abandon("Server response too large.");
        return;
    }
    switch (m_state) {
    case HttpClientState::ProxyGreeting:
    case HttpClientState::ProxyAuthSent:
    case HttpClientState::ProxyConnectSent:
        ProxyStep();
        return;
    case HttpClientState::Transfer:
        if (!EndIfComplete())
            WantReading();
        return;
    default:
        WantReading();
        return;
    }
}

void HttpClient::OnClose(int /*error*/) {
    EndOfAnswer();
}

// ---- SOCKS5 ----

// A reply may arrive in pieces; each step waits until its reply is whole. Nothing may follow the
// short replies: the proxy has nothing more to say until our next request.
void HttpClient::ProxyStep() {
    const std::string& input = m_impl->input;
    switch (m_state) {
    case HttpClientState::ProxyGreeting: {
        const Socks5Reply reply = ParseSocks5MethodReply(input);
        if (reply.status == Socks5Status::NeedMore)
            WantReading();
        else if (input.size() != reply.length)
            ProxyFail(HttpClientState::ProxyFailed, kProtocolError);
        else if (reply.status == Socks5Status::Accepted)
            SendProxyRequest(reply.code == kSocks5NoAuth ? HttpClientState::ProxyConnectSent
                                                         : HttpClientState::ProxyAuthSent);
        else if (reply.code == kSocks5NoAcceptable)
            ProxyFail(HttpClientState::ProxyFailed, "Socks5: no acceptable methods!");
        else
            ProxyFail(HttpClientState::ProxyFailed, "Socks5: unkown error!");
        return;
    }
    case HttpClientState::ProxyAuthSent: {
        const Socks5Reply reply = ParseSocks5AuthReply(input);
        if (reply.status == Socks5Status::NeedMore)
            WantReading();
        else if (input.size() != reply.length)
            ProxyFail(HttpClientState::ProxyFailed, kProtocolError);
        else if (reply.status != Socks5Status::Accepted)
            ProxyFail(HttpClientState::ProxyAuthFailed, "Socks5: Wrong Username/Password!");
        else
            SendProxyRequest(HttpClientState::ProxyConnectSent);
        return;
    }
    case HttpClientState::ProxyConnectSent:
        ProxyConnectReply();
        return;
    default:
        return;
    }
}

// The user/password request or the CONNECT, whichever `next` waits for the answer to.
void HttpClient::SendProxyRequest(HttpClientState next) {
    const Impl& d = *m_impl;
    m_impl->input.clear();
    m_state = next;
    Queue(next == HttpClientState::ProxyAuthSent ? d.authRequest : d.connectRequest);
}

void HttpClient::ProxyConnectReply() {
    std::string& input = m_impl->input;
    const Socks5Reply reply = ParseSocks5ConnectReply(input);
    switch (reply.status) {
    case Socks5Status::NeedMore:
        WantReading();
        return;
    case Socks5Status::Refused:
        ProxyFail(HttpClientState::ProxyFailed,
                  "Socks5: Can't Connected server " + m_impl->target.host + ", Error no." +
                      std::to_string(static_cast<int8_t>(reply.code)));
        return;
    case Socks5Status::Malformed:
        ProxyFail(HttpClientState::ProxyFailed, kProtocolError);
        return;
    case Socks5Status::Accepted:
        break;
    }
    // What follows the reply is already the server's.
    input.erase(0, reply.length);
    if (m_impl->target.secure) {
        StartTls();
        return;
    }
    m_state = HttpClientState::Transfer;
    SendRequest();
    WantReading();
}

// The connection stays open (the proxy's close is read and ignored); the owner decides what
// happens to this client.
void HttpClient::ProxyFail(HttpClientState state, const std::string& reason) {
    StopTimers();
    m_state = state;
    m_impl->input.clear();
    m_impl->output.clear();
    AsyncSelect(kReadClose);
    m_owner.OnFailure(reason, false);
}

// ---- TLS ----

// On whatever connection is open now: straight to the server, or the proxy's tunnel to it.
void HttpClient::StartTls() {
    Impl& d = *m_impl;
    d.tls = std::make_unique<TlsSession>();
    std::string error;
    if (!d.tls->Begin(m_trust, d.target.host, m_checkCertificates, error)) {
        Abandon(error);
        return;
    }
    m_state = HttpClientState::TlsHandshake;
    // Whatever came in behind the proxy's reply is already the server's.
    const std::string early = std::exchange(d.input, {});
    d.tls->Received(early);
    HandshakeStep();
}

// The request goes out only once the server has proven who it is.
void HttpClient::HandshakeStep() {
    std::string error;
    const TlsSession::Status status = m_impl->tls->Handshake(error);
    TakeTlsOutput();
    switch (status) {
    case TlsSession::Status::Pending:
        WantReading();
        return;
    case TlsSession::Status::Ready:
        m_state = HttpClientState::Transfer;
        SendRequest();
        if (m_state == HttpClientState::Transfer)
            ReceiveTls({});  // records that came with the end of the handshake
        return;
    case TlsSession::Status::Closed:
    case TlsSession::Status::Failed: {
        // The alert that says why, so that the server's operator can see it; best effort, as
        // the connection ends here.
        const std::string& alert = m_impl->output;
        if (!alert.empty())
            static_cast<void>(Send(alert.data(), alert.size()));
        Abandon(error);
        return;
    }
    }
}

void HttpClient::ReceiveTls(std::string_view bytes) {
    Impl& d = *m_impl;
    d.tls->Received(bytes);
    if (m_state == HttpClientState::TlsHandshake) {
        HandshakeStep();
        return;
    }
    std::string error;
    const TlsSession::Status status = d.tls->Read(d.input, error);
    TakeTlsOutput();
    switch (status) {
    case TlsSession::Status::Failed:
        Abandon(error);
        return;
    case TlsSession::Status::Closed:
        EndOfAnswer();
        return;
    case TlsSession::Status::Pending:
    case TlsSession::Status::Ready:
        ReadInput();
        return;
    }
}

// Asking for write notifications is the caller's part.
void HttpClient::TakeTlsOutput() {
    m_impl->output += m_impl->tls->TakeOutput();
}

}  // namespace velbrook
