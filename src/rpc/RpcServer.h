// The remote control's HTTP server: libmicrohttpd driven by the engine's reactor, so that every
// request is answered on the engine thread. It screens each request (host, origin, login,
// session id, size) and hands the body of a POST to /transmission/rpc to its handler; other
// GET requests are files of the web page's folder. The page logs in by posting the user and
// password to /transmission/login and gets a session cookie that opens the RPC path as Basic
// authentication does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/Clock.h"
#include "net/ReactorSocket.h"
#include "rpc/LoginThrottle.h"
#include "rpc/WebSessions.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace velbrook {

class Reactor;

struct RpcServerOptions {
    std::string bind = "127.0.0.1";  // an address literal or "localhost"
    uint16_t port = 9091;            // 0: the system picks (see Port)
    // Both empty: no login asked, which Start allows only on a loopback address.
    std::string user;
    std::string passwordHash;  // as HashRpcPassword makes it
    std::string hostWhitelist;
    std::string webFolder;  // empty: no page is served
    unsigned idleTimeoutSeconds = 30;
    unsigned connectionLimit = 64;
    size_t maxBody = 10 * 1024 * 1024;
};

class RpcServer : public ReactorSocket {
public:
    // One request body in, the JSON answer out.
    using Handler = std::function<std::string(std::string_view body)>;

    RpcServer(Reactor& reactor, Handler handler);
    ~RpcServer() override;
    RpcServer(const RpcServer&) = delete;
    RpcServer& operator=(const RpcServer&) = delete;

    // Listens. False with a reason a person can act on: a non-loopback address without a user
    // and password, a password that is not a stored hash, a port in use.
    [[nodiscard]] bool Start(const RpcServerOptions& options, std::string& error);
    void Stop();
    bool IsRunning() const { return m_daemon != nullptr; }
    uint16_t Port() const { return m_port; }
    // What a client must send back in X-Transmission-Session-Id.
    const std::string& SessionId() const { return m_sessionId; }
    // How many passwords were hashed to check a login: what guessing has cost so far.
    size_t PasswordChecks() const { return m_passwordChecks; }
    const LoginThrottle& Throttle() const { return m_throttle; }
    const WebSessions& Sessions() const { return m_webSessions; }

private:
    struct Request;
    struct Answer {
        unsigned status = 200;
        std::string body;
        std::string contentType = "text/plain; charset=utf-8";
        int fd = -1;  // a file to send instead of the body; the answer owns it
        uint64_t fileSize = 0;
        std::string extraName;  // one more header
        std::string extraValue;
    };

    void Dispatch(uint32_t epollEvents) override;
    void Detach() override;
    // Lets the daemon do whatever is due, then wakes it again when it says.
    void Run();
    unsigned Connections() const;

    int OnRequest(MHD_Connection* connection, const char* url, const char* method,
                  const char* uploadData, size_t* uploadSize, void** state);
    // An answer when the request is refused before its body is read.
    bool Screen(MHD_Connection* connection, const std::string& url, const std::string& method,
                Answer& refusal);
    static bool IsPost(const std::string& method, Answer& refusal);
    bool LoggedIn(MHD_Connection* connection, Answer& refusal);
    // Refused (429) while the client's address must still wait after failed logins.
    bool Throttled(const std::string& client, Time now, Answer& refusal) const;
    // Counts as a password check; both names are compared whatever the first says.
    bool Credentials(const std::string& user, const std::string& password);
    Answer Login(MHD_Connection* connection, const std::string& body);
    Answer Logout(MHD_Connection* connection);
    Time Now() const;
    Answer StaticFile(const std::string& url) const;
    static int Send(MHD_Connection* connection, const Answer& answer);

    // The daemon's C callbacks.
    struct Callbacks;
    friend struct Callbacks;

    Reactor* m_reactor;
    Handler m_handler;
    RpcServerOptions m_options;
    MHD_Daemon* m_daemon = nullptr;
    uint64_t m_key = 0;
    int m_epollFd = -1;
    uint16_t m_port = 0;
    Timer m_timer;
    std::string m_sessionId;
    std::string m_webRoot;  // the page's folder, resolved
    // The Authorization header that last logged in: a client sends the same one with every
    // request, and hashing the password each time would cost the engine a slow hash per poll.
    std::string m_acceptedAuthorization;
    LoginThrottle m_throttle;
    WebSessions m_webSessions;
    size_t m_passwordChecks = 0;
};

}  // namespace velbrook
