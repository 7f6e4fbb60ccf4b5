#include "tracker/HttpClient.h"

#include <algorithm>
#include <cerrno>
#include <sys/types.h>

#include "peer/Reactor.h"
#include "persist/Settings.h"

namespace velbrook {

namespace {

constexpr unsigned kReadClose = kSocketRead | kSocketClose;
constexpr unsigned kWriteClose = kSocketWrite | kSocketClose;
constexpr unsigned kReadWriteClose = kSocketRead | kSocketWrite | kSocketClose;
constexpr size_t kReadChunk = 30000;
// SOCKS5 carries every name and credential behind a one-byte length.
constexpr size_t kMaxSocksField = 255;

const char* const kProtocolError = "Socks5 server protocal error!";

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

bool StartsWithHttp(std::string_view url) {
    constexpr std::string_view kScheme = "http://";
    if (url.size() < kScheme.size())
        return false;
    for (size_t i = 0; i < kScheme.size(); ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kScheme[i])
            return false;
    }
    return true;
}

// A space or control byte would end up raw in the request line and split it.
bool HasUnsafeByte(std::string_view url) {
    return std::any_of(url.begin(), url.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    });
}

}  // namespace

bool SplitHttpUrl(std::string_view url, HttpUrl& out) {
    if (!StartsWithHttp(url) || HasUnsafeByte(url))
        return false;
    std::string_view rest = url.substr(7);
    const size_t hostEnd = std::min(rest.find_first_of(":/?"), rest.size());
    if (hostEnd == 0)
        return false;
    HttpUrl parts;
    parts.host = std::string(rest.substr(0, hostEnd));
    rest.remove_prefix(hostEnd);
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

HttpAnswer ParseHttpAnswer(std::string_view input) {
    HttpAnswer answer;
    if (input.empty())
        return answer;
    // A header closed by "\n\n" may be followed by a binary body holding "\r\n\r\n"; the earlier
    // of the two is where the header really ends.
    const size_t crlf = input.find("\r\n\r\n");
    const size_t lf = input.find("\n\n");
    std::string_view lineEnd;
    size_t headerSize = 0;
    if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf)) {
        lineEnd = "\r\n";
        headerSize = crlf + 2;
    } else if (lf != std::string_view::npos) {
        lineEnd = "\n";
        headerSize = lf + 1;
    } else {
        answer.kind = HttpAnswerKind::NoBlankLine;
        return answer;
    }
    const std::string_view header = input.substr(0, headerSize);
    bool statusLine = true;
    bool redirect = false;
    // The header ends with a line end, so every line is found whole.
    for (size_t at = 0; at < header.size();) {
        const size_t end = header.find(lineEnd, at);
        const std::string_view line = header.substr(at, end - at);
        at = end + lineEnd.size();
        if (statusLine) {
            statusLine = false;
            if (Contains(line, "200"))
                continue;
            if (Contains(line, "302")) {
                redirect = true;
                continue;
            }
            answer.kind = HttpAnswerKind::RejectedLine;
            answer.line = std::string(line);
            return answer;
        }
        if (redirect && Contains(line, "Location")) {
            answer.kind = HttpAnswerKind::Redirect;
            answer.line = std::string(line);
            answer.url = std::string(line.substr(std::min<size_t>(10, line.size())));
            return answer;
        }
    }
    answer.kind = HttpAnswerKind::Body;
    answer.body = std::string(input.substr(headerSize + lineEnd.size()));
    return answer;
}

struct HttpClient::Impl {
    HttpUrl target;
    std::string input;
    std::string output;
    std::string user;  // SOCKS5 credentials as they were when the proxy connection opened
    std::string password;
    uint64_t silenceTimer = 0;
    uint32_t silenceMs = kSilenceTimeoutMs;
    int redirects = 0;
    // Bumped by every start, so a report queued for an earlier request is dropped.
    uint64_t request = 0;
    // Queued reports hold a weak copy: the owner may have destroyed this client meanwhile.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

HttpClient::HttpClient(HttpOwner& owner) : m_impl(std::make_unique<Impl>()), m_owner(owner) {}

HttpClient::~HttpClient() {
    StopSilenceTimer();
}

void HttpClient::SetSilenceTimeoutForTest(uint32_t ms) {
    m_impl->silenceMs = ms;
}

bool HttpClient::Start(const std::string& url, std::string& error) {
    m_impl->redirects = 0;
    return Begin(url, error);
}

bool HttpClient::Begin(const std::string& url, std::string& error) {
    Impl& d = *m_impl;
    ++d.request;
    StopSilenceTimer();
    Close();
    m_state = HttpClientState::Idle;
    d.input.clear();
    d.output.clear();
    HttpUrl parts;
    if (!SplitHttpUrl(url, parts)) {
        error = "Error: can only use URLs beginning with http://";
        return false;
    }
    m_url = url;
    d.target = std::move(parts);
    if (!Create(0, kSocketConnect | kSocketClose)) {
        error = "Error: Creat Socket Error";
        return false;
    }
    const Settings& settings = GetSettings();
    if (settings.GetInt(ConnectionType) == 2) {
        const int32_t port = settings.GetInt(SocksPort);
        if (port < 1 || port > 65535 ||
            !Connect(settings.GetString(SocksServer), static_cast<uint16_t>(port))) {
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
    ArmSilenceTimer();
    return true;
}

// ---- the silence timer and the end of a request ----

// Restarted by every byte that arrives: a slow tracker that keeps talking is not cut off, one
// that has gone quiet (or never finishes connecting) is.
void HttpClient::ArmSilenceTimer() {
    StopSilenceTimer();
    // Every way out of a request, and the destructor, stops this timer before `this` goes.
    m_impl->silenceTimer = Reactor::Get().StartTimer(
        m_impl->silenceMs, [this](uint64_t) { Abandon("Tracker timed out."); });
}

void HttpClient::StopSilenceTimer() {
    if (m_impl->silenceTimer && Reactor::Exists())
        Reactor::Get().StopTimer(m_impl->silenceTimer);
    m_impl->silenceTimer = 0;
}

void HttpClient::Finish() {
    StopSilenceTimer();
    Close();
    m_state = HttpClientState::Idle;
    m_impl->input.clear();
    m_impl->output.clear();
}

// Reports are the last thing a handler does: the owner may destroy this client from inside them.
void HttpClient::Abandon(const std::string& reason) {
    Finish();
    m_owner.OnFailure(reason, false);
}

void HttpClient::PostFailure(const std::string& reason) {
    std::weak_ptr<bool> alive = m_impl->alive;
    const uint64_t request = m_impl->request;
    Reactor::Get().Post([this, alive, request, reason] {
        if (!alive.expired() && m_impl->request == request)
            m_owner.OnFailure(reason, false);
    });
}

bool HttpClient::HasReported() const {
    return m_state == HttpClientState::ProxyFailed || m_state == HttpClientState::ProxyAuthFailed;
}

void HttpClient::EndOfAnswer() {
    const HttpClientState state = m_state;
    const std::string input = std::move(m_impl->input);
    Finish();
    if (state == HttpClientState::ProxyGreeting || state == HttpClientState::ProxyAuthSent ||
        state == HttpClientState::ProxyConnectSent) {
        // The proxy hung up in the middle of the exchange; the owner still needs its one report.
        m_owner.OnFailure(kProtocolError, false);
        return;
    }
    if (state != HttpClientState::Transfer)
        return;  // already reported
    const HttpAnswer answer = ParseHttpAnswer(input);
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
    case HttpAnswerKind::Redirect:
        // The answer that redirected is fatal for its owner; the new request reports on its own.
        if (m_impl->redirects < kMaxRedirects) {
            ++m_impl->redirects;
            std::string error;
            if (!Begin(answer.url, error))
                PostFailure(error);
        }
        m_owner.OnFatal("Header error:" + answer.line);
        return;
    case HttpAnswerKind::Body:
        m_owner.OnResponse(answer.body);
        return;
    }
}

// ---- socket notifications ----

void HttpClient::OnConnect(int error) {
    if (error != 0) {
        Abandon("Can't Connect Tracker: " + m_url);
        return;
    }
    if (m_state != HttpClientState::ProxyConnecting) {
        m_state = HttpClientState::Transfer;
        SendRequest();
        return;
    }
    Impl& d = *m_impl;
    const Settings& settings = GetSettings();
    d.user = settings.GetString(Socks5UserName);
    d.password = settings.GetString(Socks5Password);
    if (d.target.host.size() > kMaxSocksField || d.user.size() > kMaxSocksField ||
        d.password.size() > kMaxSocksField) {
        ProxyFail(HttpClientState::ProxyFailed, kProtocolError);
        return;
    }
    const bool auth = !d.user.empty() || !d.password.empty();
    Queue(std::string(auth ? "\x05\x01\x02" : "\x05\x01\x00", 3));
    m_state = HttpClientState::ProxyGreeting;
}

void HttpClient::Queue(const std::string& bytes) {
    m_impl->output += bytes;
    AsyncSelect(kWriteClose);
}

// Reading from here on, and writing too while part of the request still waits.
void HttpClient::WantReading() {
    AsyncSelect(m_impl->output.empty() ? kReadClose : kReadWriteClose);
}

void HttpClient::SendRequest() {
    Queue("GET " + m_impl->target.object +
          " HTTP/1.0\r\n"
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
    ArmSilenceTimer();
    std::string& input = m_impl->input;
    input.append(buffer, static_cast<size_t>(received));
    if (input.size() > kMaxAnswer) {
        Abandon("Server response too large.");
        return;
    }
    switch (m_state) {
    case HttpClientState::ProxyGreeting:
    case HttpClientState::ProxyAuthSent:
    case HttpClientState::ProxyConnectSent:
        ProxyStep();
        return;
    default:
        WantReading();  // the answer is read when the server closes
        return;
    }
}

void HttpClient::OnClose(int /*error*/) {
    EndOfAnswer();
}

// ---- SOCKS5 ----

// Each reply is judged on what has arrived in one read; a proxy sends its short replies whole.
void HttpClient::ProxyStep() {
    const std::string& input = m_impl->input;
    const bool twoBytes = input.size() == 2;
    const auto second = twoBytes ? static_cast<unsigned char>(input[1]) : 0;
    switch (m_state) {
    case HttpClientState::ProxyGreeting:
        if (!twoBytes)
            ProxyFail(HttpClientState::ProxyFailed, kProtocolError);
        else if (second == 0xFF)
            ProxyFail(HttpClientState::ProxyFailed, "Socks5: no acceptable methods!");
        else if (second == 0x00)
            SendProxyConnect();
        else if (second == 0x02)
            SendProxyAuth();
        else
            ProxyFail(HttpClientState::ProxyFailed, "Socks5: unkown error!");
        return;
    case HttpClientState::ProxyAuthSent:
        if (!twoBytes)
            ProxyFail(HttpClientState::ProxyFailed, kProtocolError);
        else if (second != 0)
            ProxyFail(HttpClientState::ProxyAuthFailed, "Socks5: Wrong Username/Password!");
        else
            SendProxyConnect();
        return;
    case HttpClientState::ProxyConnectSent:
        ProxyConnectReply();
        return;
    default:
        return;
    }
}

void HttpClient::SendProxyAuth() {
    const Impl& d = *m_impl;
    std::string request(1, '\x01');
    request += static_cast<char>(d.user.size());
    request += d.user;
    request += static_cast<char>(d.password.size());
    request += d.password;
    m_impl->input.clear();
    m_state = HttpClientState::ProxyAuthSent;
    Queue(request);
}

// The tracker's name goes to the proxy as given, even a dotted address, so the proxy resolves it.
void HttpClient::SendProxyConnect() {
    const HttpUrl& target = m_impl->target;
    std::string request("\x05\x01\x00\x03", 4);
    request += static_cast<char>(target.host.size());
    request += target.host;
    request += static_cast<char>(target.port >> 8);
    request += static_cast<char>(target.port & 0xFF);
    m_impl->input.clear();
    m_state = HttpClientState::ProxyConnectSent;
    Queue(request);
}

void HttpClient::ProxyConnectReply() {
    std::string& input = m_impl->input;
    auto byte = [&input](size_t i) -> unsigned char {
        return i < input.size() ? static_cast<unsigned char>(input[i]) : 0;
    };
    if (byte(0) != 5 || byte(1) != 0) {
        const int code = static_cast<signed char>(byte(1));
        ProxyFail(HttpClientState::ProxyFailed, "Socks5: Can't Connected server " +
                                                    m_impl->target.host + ", Error no." +
                                                    std::to_string(code));
        return;
    }
    // The reply ends after the proxy's bound address, whose size its type gives; what follows is
    // already the server's answer.
    size_t length = 0;
    if (input.size() >= 4) {
        switch (byte(3)) {
        case 1:
            length = 10;
            break;
        case 4:
            length = 22;
            break;
        case 3:
            length = input.size() >= 5 ? 7 + size_t{byte(4)} : 0;
            break;
        default:
            break;
        }
    }
    if (length == 0 || input.size() < length) {
        ProxyFail(HttpClientState::ProxyFailed, kProtocolError);
        return;
    }
    input.erase(0, length);
    m_state = HttpClientState::Transfer;
    SendRequest();
    WantReading();
}

// The connection stays open (the proxy's close is read and ignored); the owner decides what
// happens to this client.
void HttpClient::ProxyFail(HttpClientState state, const std::string& reason) {
    StopSilenceTimer();
    m_state = state;
    m_impl->input.clear();
    m_impl->output.clear();
    AsyncSelect(kReadClose);
    m_owner.OnFailure(reason, false);
}

}  // namespace velbrook
