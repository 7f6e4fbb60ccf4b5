#include "rpc/RpcServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <microhttpd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "net/Reactor.h"
#include "rpc/HttpGuards.h"
#include "rpc/RpcPassword.h"

namespace velbrook {

namespace {

constexpr std::string_view kRpcPath = "/transmission/rpc";

// transmission-remote asks with a slash at the end, other remotes without one.
bool IsRpcPath(std::string_view path) {
    return path == kRpcPath || (path.size() == kRpcPath.size() + 1 &&
                                path.substr(0, kRpcPath.size()) == kRpcPath && path.back() == '/');
}
constexpr const char* kSessionHeader = "X-Transmission-Session-Id";
constexpr std::string_view kLoginPath = "/transmission/login";
constexpr std::string_view kLogoutPath = "/transmission/logout";
// Where remotes open the page; the page is served at the root too.
constexpr std::string_view kPagePath = "/transmission/web";
constexpr const char* kCookieName = "velbrook_session";
// Not for scripts (HttpOnly), never sent along with a request another site's page makes.
constexpr std::string_view kCookieFlags = "; HttpOnly; SameSite=Strict; Path=/";
// The page marks its requests with this header: its 401s then carry no Basic challenge, which
// would make the browser put its own login dialog over the page's form.
constexpr const char* kPageHeader = "X-Velbrook-Page";
// A user name and a password fit many times over.
constexpr size_t kLoginBody = 4096;
// Bodies up to this size are read and dropped when a request is refused; a client that did not
// expect the refusal (a first request without the session id) keeps its connection.
constexpr size_t kDrainedBody = 64 * 1024;

std::string Header(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value ? value : "";
}

bool HasHeader(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name) != nullptr;
}

// Whom a failed login is counted against: an IPv6 client owns a whole /64, so its addresses
// count as one.
std::string ClientKey(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return "?";
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (info->client_addr->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(info->client_addr);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return text;
    }
    if (info->client_addr->sa_family == AF_INET6) {
        in6_addr address = reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr;
        if (!IN6_IS_ADDR_V4MAPPED(&address)) {
            std::memset(address.s6_addr + 8, 0, 8);
        }
        inet_ntop(AF_INET6, &address, text, sizeof text);
        return text;
    }
    return "?";
}

const char* ContentType(const std::string& path) {
    static constexpr std::pair<std::string_view, const char*> kTypes[] = {
        {"html", "text/html; charset=utf-8"},
        {"htm", "text/html; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"json", "application/json"},
        {"svg", "image/svg+xml"},
        {"png", "image/png"},
        {"ico", "image/x-icon"},
    };
    const size_t dot = path.rfind('.');
    const std::string_view extension =
        dot == std::string::npos ? std::string_view() : std::string_view(path).substr(dot + 1);
    for (const auto& [known, type] : kTypes) {
        if (extension == known) {
            return type;
        }
    }
    return "application/octet-stream";
}

// The declared length, or nothing when none (or a chunked body) was declared. A length that
// does not parse counts as too large.
std::optional<uint64_t> DeclaredLength(MHD_Connection* connection) {
    if (!HasHeader(connection, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
        return std::nullopt;
    }
    const std::string text = Header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    uint64_t length = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return UINT64_MAX;
    }
    return length;
}

}  // namespace

struct RpcServer::Request {
    enum class Kind { Rpc, Login, Logout };
    Kind kind = Kind::Rpc;
    // The answer decided from the headers (a refusal, a file), sent once the body is in.
    std::optional<Answer> pending;
    size_t received = 0;
    std::string body;
};

struct RpcServer::Callbacks {
    static MHD_Result Access(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* uploadData,
                             size_t* uploadSize, void** state) {
        return static_cast<RpcServer*>(self)->OnRequest(connection, url, method, uploadData,
                                                        uploadSize, state) != 0
                   ? MHD_YES
                   : MHD_NO;
    }
    static void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
        std::unique_ptr<Request> request(static_cast<Request*>(*state));
        *state = nullptr;
        if (request && request->pending && request->pending->fd >= 0) {
            ::close(request->pending->fd);  // the client left before its file was sent
        }
    }
};

RpcServer::RpcServer(Reactor& reactor, Handler handler)
    : m_reactor(&reactor), m_handler(std::move(handler)) {}

RpcServer::~RpcServer() {
    Stop();
}

bool RpcServer::Start(const RpcServerOptions& options, std::string& error) {
    Stop();
    if (options.user.empty() != options.passwordHash.empty()) {
        error = "the remote control needs both a user name and a password, or neither";
        return false;
    }
    if (options.user.empty() && !IsLoopbackBind(options.bind)) {
        error = "the remote control listens on " + options.bind +
                " only with a user name and password (set them with --set-rpc-password)";
        return false;
    }
    RpcPasswordHash parsed;
    if (!options.passwordHash.empty() && !ParseRpcPasswordHash(options.passwordHash, parsed)) {
        error = "RpcPassword is not a password hash (set it again with --set-rpc-password)";
        return false;
    }
    sockaddr_storage address{};
    std::string host = options.bind == "localhost" ? "127.0.0.1" : options.bind;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    unsigned flags = MHD_USE_EPOLL;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(options.port);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(options.port);
        flags |= MHD_USE_IPv6;
    } else {
        error = "the remote control's address " + options.bind + " is not an IP address";
        return false;
    }
    m_webRoot.clear();
    if (!options.webFolder.empty()) {
        char* resolved = ::realpath(options.webFolder.c_str(), nullptr);
        if (resolved != nullptr) {
            m_webRoot = resolved;
            std::free(resolved);
        }
    }
    m_sessionId = RandomHex(24);
    m_options = options;
    m_acceptedAuthorization.clear();
    m_webSessions.Clear();
    // Everything runs when the reactor says so: no thread of the daemon's own.
    m_daemon = MHD_start_daemon(
        flags, options.port, nullptr, nullptr, &Callbacks::Access, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(options.connectionLimit), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(options.idleTimeoutSeconds), MHD_OPTION_NOTIFY_COMPLETED,
        &Callbacks::Completed, this, MHD_OPTION_END);
    if (m_daemon == nullptr) {
        error = "the remote control cannot listen on " + options.bind + ":" +
                std::to_string(options.port) +
                (errno != 0 ? ": " + std::string(std::strerror(errno)) : "");
        return false;
    }
    const MHD_DaemonInfo* port = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = port ? port->port : options.port;
    const MHD_DaemonInfo* epoll = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD);
    m_epollFd = epoll ? epoll->epoll_fd : -1;
    if (m_epollFd < 0) {
        Stop();
        error = "the remote control's server has no descriptor to wait on";
        return false;
    }
    m_key = m_reactor->Register(this);
    m_reactor->UpdateInterest(m_key, m_epollFd, EPOLLIN, false);
    Run();
    return true;
}

void RpcServer::Stop() {
    m_timer.Stop();
    if (m_daemon == nullptr) {
        return;
    }
    if (m_reactor != nullptr && m_epollFd >= 0) {
        m_reactor->UpdateInterest(m_key, m_epollFd, 0, true);
        m_reactor->Unregister(m_key);
    }
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    m_epollFd = -1;
    m_key = 0;
}

void RpcServer::Dispatch(uint32_t) {
    Run();
}

void RpcServer::Detach() {
    m_reactor = nullptr;
    m_timer = Timer();
}

void RpcServer::Run() {
    if (m_daemon == nullptr || m_reactor == nullptr) {
        return;
    }
    const unsigned before = Connections();
    MHD_run(m_daemon);
    if (Connections() < before) {
        // A daemon that was full takes its listening socket back into its set only on its next
        // pass, and nothing else would make that pass happen: clients waiting to be accepted
        // would wait for ever.
        MHD_run(m_daemon);
    }
    MHD_UNSIGNED_LONG_LONG wait = 0;
    if (MHD_get_timeout(m_daemon, &wait) == MHD_YES) {
        // Some work may be left that no descriptor will announce (a connection that could not
        // be finished in one pass): a timeout of zero.
        const auto delay = std::chrono::milliseconds(std::max<MHD_UNSIGNED_LONG_LONG>(wait, 1));
        m_timer = m_reactor->After(delay, [this] { Run(); });
    } else {
        m_timer.Stop();
    }
}

unsigned RpcServer::Connections() const {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info ? info->num_connections : 0;
}

int RpcServer::OnRequest(MHD_Connection* connection, const char* url, const char* method,
                         const char* uploadData, size_t* uploadSize, void** state) {
    auto* request = static_cast<Request*>(*state);
    if (request == nullptr) {
        auto made = std::make_unique<Request>();
        request = made.get();
        *state = made.release();  // freed when the daemon says the request is complete
        const std::string path = url ? url : "";
        Answer refusal;
        if (!Screen(connection, path, method ? method : "", refusal)) {
            // A small body is drained and the answer sent after it, so the connection stays
            // usable; a large or unknown one is not read at all: the answer goes out now and
            // the connection is closed after it.
            const std::optional<uint64_t> length = DeclaredLength(connection);
            const bool chunked = HasHeader(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING);
            if (chunked || (length && *length > kDrainedBody)) {
                return Send(connection, refusal);
            }
            request->pending = std::move(refusal);
        } else if (path == kLoginPath) {
            request->kind = Request::Kind::Login;
        } else if (path == kLogoutPath) {
            request->kind = Request::Kind::Logout;
        } else if (!IsRpcPath(path)) {
            request->pending = StaticFile(path);
        }
        return 1;
    }
    if (*uploadSize > 0) {
        // A chunked body declares no length: it is cut off where a declared one is refused.
        const size_t limit = request->pending                      ? kDrainedBody
                             : request->kind == Request::Kind::Rpc ? m_options.maxBody
                                                                   : kLoginBody;
        if (request->received + *uploadSize > limit) {
            return 0;
        }
        request->received += *uploadSize;
        if (!request->pending) {
            request->body.append(uploadData, *uploadSize);
        }
        *uploadSize = 0;
        return 1;
    }
    if (request->pending) {
        const int sent = Send(connection, *request->pending);
        request->pending->fd = -1;  // the response owns it now, or it is closed
        return sent;
    }
    if (request->kind == Request::Kind::Login) {
        return Send(connection, Login(connection, request->body));
    }
    if (request->kind == Request::Kind::Logout) {
        return Send(connection, Logout(connection));
    }
    Answer answer;
    answer.body = m_handler(request->body);
    answer.contentType = "application/json; charset=utf-8";
    return Send(connection, answer);
}

// Logins and commands change things: they come as POST, never as a link's GET.
bool RpcServer::IsPost(const std::string& method, Answer& refusal) {
    if (method == "POST") {
        return true;
    }
    refusal.status = 405;
    refusal.body = "Use POST.\n";
    refusal.extraName = "Allow";
    refusal.extraValue = "POST";
    return false;
}

bool RpcServer::Screen(MHD_Connection* connection, const std::string& url,
                       const std::string& method, Answer& refusal) {
    if (!IsAllowedHost(Header(connection, MHD_HTTP_HEADER_HOST), m_options.hostWhitelist)) {
        refusal.status = 421;
        refusal.body = "This server does not answer to that host name. Add it to "
                       "RpcHostWhitelist to allow it.\n";
        return false;
    }
    if (HasHeader(connection, "Origin") &&
        !OriginMatchesHost(Header(connection, "Origin"),
                           Header(connection, MHD_HTTP_HEADER_HOST))) {
        refusal.status = 403;
        refusal.body = "Requests from pages of other sites are refused.\n";
        return false;
    }
    if (url == kLoginPath || url == kLogoutPath) {
        const std::optional<uint64_t> length = DeclaredLength(connection);
        if (!IsPost(method, refusal)) {
            return false;
        }
        if (length && *length > kLoginBody) {
            refusal.status = 413;
            refusal.body = "The request is too large.\n";
            return false;
        }
        return true;
    }
    if (IsRpcPath(url)) {
        if (!m_options.user.empty() && !LoggedIn(connection, refusal)) {
            return false;
        }
        const std::optional<uint64_t> length = DeclaredLength(connection);
        if (length && *length > m_options.maxBody) {
            refusal.status = 413;
            refusal.body = "The request is too large.\n";
            return false;
        }
        const std::string id = Header(connection, kSessionHeader);
        if (!ConstantTimeEqual(id, m_sessionId)) {
            refusal.status = 409;
            refusal.body = "Send the X-Transmission-Session-Id header of this answer.\n";
            refusal.extraName = kSessionHeader;
            refusal.extraValue = m_sessionId;
            return false;
        }
        if (!IsPost(method, refusal)) {
            return false;
        }
        return true;
    }
    // The page's own files are served before a login: they hold no data, and the page must load
    // to show its login form.
    if (method != "GET" && method != "HEAD") {
        refusal.status = 405;
        refusal.body = "Use GET.\n";
        refusal.extraName = "Allow";
        refusal.extraValue = "GET, HEAD";
        return false;
    }
    return true;
}

bool RpcServer::LoggedIn(MHD_Connection* connection, Answer& refusal) {
    const Time now = Now();
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kCookieName);
    if (cookie != nullptr && m_webSessions.Check(cookie, now)) {
        return true;
    }
    const std::string authorization = Header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
    if (!m_acceptedAuthorization.empty() &&
        ConstantTimeEqual(authorization, m_acceptedAuthorization)) {
        return true;
    }
    refusal.status = 401;
    refusal.body = "Log in with the remote control's user name and password.\n";
    if (!HasHeader(connection, kPageHeader)) {
        refusal.extraName = MHD_HTTP_HEADER_WWW_AUTHENTICATE;
        refusal.extraValue = "Basic realm=\"Velbrook\", charset=\"UTF-8\"";
    }
    if (authorization.empty()) {
        return false;  // a first request, before the client knows a login is asked
    }
    const std::string client = ClientKey(connection);
    if (Throttled(client, now, refusal)) {
        return false;
    }
    std::string user;
    std::string password;
    if (!ParseBasicAuthorization(authorization, user, password) || !Credentials(user, password)) {
        m_throttle.Failed(client, now);
        return false;
    }
    m_throttle.Succeeded(client);
    m_acceptedAuthorization = authorization;
    return true;
}

bool RpcServer::Throttled(const std::string& client, Time now, Answer& refusal) const {
    const Duration wait = m_throttle.Wait(client, now);
    if (wait <= Duration::zero()) {
        return false;
    }
    // Refused before the slow hash runs: guessing costs the engine next to nothing.
    refusal.status = 429;
    refusal.body = "Too many failed logins; try again later.\n";
    refusal.extraName = "Retry-After";
    refusal.extraValue = std::to_string(std::chrono::ceil<std::chrono::seconds>(wait).count());
    return true;
}

bool RpcServer::Credentials(const std::string& user, const std::string& password) {
    ++m_passwordChecks;
    // Both are checked whatever the first says, so the time does not tell which was wrong.
    const bool userMatches = ConstantTimeEqual(user, m_options.user);
    return CheckRpcPassword(m_options.passwordHash, password) && userMatches;
}

RpcServer::Answer RpcServer::Login(MHD_Connection* connection, const std::string& body) {
    Answer answer;
    if (m_options.user.empty()) {
        answer.body = "No login is needed.\n";
        return answer;
    }
    const std::string client = ClientKey(connection);
    const Time now = Now();
    if (Throttled(client, now, answer)) {
        return answer;
    }
    const nlohmann::json form = nlohmann::json::parse(body, nullptr, false);
    const auto user = form.is_object() ? form.find("user") : form.end();
    const auto password = form.is_object() ? form.find("password") : form.end();
    if (user == form.end() || password == form.end() || !user->is_string() ||
        !password->is_string()) {
        answer.status = 400;
        answer.body = "Send {\"user\": ..., \"password\": ...}.\n";
        return answer;
    }
    if (!Credentials(user->get<std::string>(), password->get<std::string>())) {
        m_throttle.Failed(client, now);
        answer.status = 401;
        answer.body = "The user name or the password is wrong.\n";
        return answer;
    }
    m_throttle.Succeeded(client);
    const std::string token = m_webSessions.Open(now);
    if (token.empty()) {
        answer.status = 500;
        answer.body = "No random numbers for a login token.\n";
        return answer;
    }
    answer.body = "Logged in.\n";
    answer.extraName = MHD_HTTP_HEADER_SET_COOKIE;
    answer.extraValue = kCookieName + ("=" + token) + std::string(kCookieFlags);
    return answer;
}

RpcServer::Answer RpcServer::Logout(MHD_Connection* connection) {
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kCookieName);
    if (cookie != nullptr) {
        m_webSessions.Close(cookie);
    }
    Answer answer;
    answer.body = "Logged out.\n";
    answer.extraName = MHD_HTTP_HEADER_SET_COOKIE;
    answer.extraValue = kCookieName + ("=; Max-Age=0" + std::string(kCookieFlags));
    return answer;
}

Time RpcServer::Now() const {
    return m_reactor != nullptr ? m_reactor->Now() : Time{};
}

RpcServer::Answer RpcServer::StaticFile(const std::string& url) const {
    Answer missing;
    missing.status = 404;
    missing.body = "Not found.\n";
    if (m_webRoot.empty() || url.empty() || url.front() != '/') {
        return missing;
    }
    if (url == kPagePath) {
        // The page's relative links need the slash.
        Answer moved;
        moved.status = 301;
        moved.extraName = MHD_HTTP_HEADER_LOCATION;
        moved.extraValue = std::string(kPagePath) + "/";
        return moved;
    }
    const bool underPagePath = url.size() > kPagePath.size() &&
                               url.compare(0, kPagePath.size(), kPagePath) == 0 &&
                               url[kPagePath.size()] == '/';
    // No segment may climb out or name a hidden file; the resolved path is checked again, for
    // links that lead elsewhere.
    std::string relative = url.substr(underPagePath ? kPagePath.size() + 1 : 1);
    size_t start = 0;
    while (start <= relative.size()) {
        const size_t end = std::min(relative.find('/', start), relative.size());
        const std::string_view segment(relative.data() + start, end - start);
        if (!segment.empty() && segment.front() == '.') {
            return missing;
        }
        start = end + 1;
    }
    if (relative.empty() || relative.back() == '/') {
        relative += "index.html";
    }
    char* resolved = ::realpath((m_webRoot + "/" + relative).c_str(), nullptr);
    if (resolved == nullptr) {
        return missing;
    }
    const std::string path = resolved;
    std::free(resolved);
    if (path.compare(0, m_webRoot.size() + 1, m_webRoot + "/") != 0) {
        return missing;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) {
            ::close(fd);
        }
        return missing;
    }
    Answer answer;
    answer.fd = fd;
    answer.fileSize = static_cast<uint64_t>(st.st_size);
    answer.contentType = ContentType(path);
    return answer;
}

int RpcServer::Send(MHD_Connection* connection, const Answer& answer) {
    MHD_Response* response =
        answer.fd >= 0 ? MHD_create_response_from_fd(answer.fileSize, answer.fd)
                       : MHD_create_response_from_buffer(answer.body.size(),
                                                         const_cast<char*>(answer.body.data()),
                                                         MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        if (answer.fd >= 0) {
            ::close(answer.fd);
        }
        return 0;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
    // Nothing of ours is to be run or framed by another site's page, nor read as another type.
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'self'; frame-ancestors 'none'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (!answer.extraName.empty()) {
        MHD_add_response_header(response, answer.extraName.c_str(), answer.extraValue.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued == MHD_YES ? 1 : 0;
}

}  // namespace velbrook
