#include "rpc/RpcServer.h"

#include "net/Reactor.h"
#include "rpc/RpcPassword.h"
#include "rpc/WebSessions.h"

#include <gtest/gtest.h>

#include "support/Loopback.h"
#include "support/TempDir.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace velbrook {
namespace {

struct HttpAnswer {
    int status = 0;
    std::string head;  // lower case
    std::string body;

    std::string Header(const std::string& name) const {
        const std::string key = "\r\n" + name + ":";
        const size_t at = head.find(key);
        if (at == std::string::npos) {
            return {};
        }
        const size_t start = head.find_first_not_of(' ', at + key.size());
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

// One client connection to the server, written and read while the loop runs.
class Client {
public:
    Client(Reactor& reactor, uint16_t port)
        : m_reactor(reactor), m_fd(Connect(port)), m_end(reactor, m_fd) {}

    static int Connect(uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = test::Loopback(port);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }

    bool Send(const std::string& bytes) { return m_end.Write(bytes); }

    // The next answer; status 0 when the server closed instead. No answer, whatever it says,
    // lets another site's page read it.
    HttpAnswer Receive() {
        HttpAnswer answer;
        std::string head = m_end.ReadThrough("\r\n\r\n");
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (head.size() < 12 || head.compare(0, 5, "http/") != 0) {
            return answer;
        }
        answer.head = head;
        answer.status = std::atoi(head.c_str() + 9);
        EXPECT_EQ(head.find("access-control-"), std::string::npos) << head;
        const std::string length = answer.Header("content-length");
        answer.body = m_end.Read(length.empty() ? 0 : std::stoul(length));
        return answer;
    }

    // True once the server has closed the connection (false when it still holds it after a
    // while that only guards against a hang).
    bool Closed() {
        return test::RunUntil(m_reactor, [this] { return ClosedNow(); });
    }
    bool ClosedNow() const {
        char byte = 0;
        const ssize_t n = ::recv(m_fd, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN);  // a reset when input was left unread
    }

private:
    Reactor& m_reactor;
    int m_fd;
    test::FarEnd m_end;  // closes m_fd
};

std::string Request(const std::string& method, const std::string& path, const std::string& headers,
                    const std::string& body = {}) {
    return method + " " + path + " HTTP/1.1\r\n" + headers +
           (body.empty() && method == "GET"
                ? ""
                : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
           "\r\n" + body;
}

class RpcServerTest : public ::testing::Test {
protected:
    void Start(RpcServerOptions options = {}) {
        options.port = 0;
        std::string error;
        ASSERT_TRUE(m_server.Start(options, error)) << error;
        m_host = "Host: 127.0.0.1:" + std::to_string(m_server.Port()) + "\r\n";
        m_session = "X-Transmission-Session-Id: " + m_server.SessionId() + "\r\n";
    }
    HttpAnswer Ask(const std::string& request) {
        Client client(m_reactor, m_server.Port());
        EXPECT_TRUE(client.Send(request));
        return client.Receive();
    }

    Reactor m_reactor;
    std::vector<std::string> m_bodies;
    RpcServer m_server{m_reactor, [this](std::string_view body) {
                           m_bodies.emplace_back(body);
                           return std::string(R"({"arguments":{},"result":"success"})");
                       }};
    std::string m_host;
    std::string m_session;
};

// The session id keeps another site's page from posting a command blind: only a client that
// could read an earlier answer knows it.
TEST_F(RpcServerTest, AnswersACommandOnlyWithTheSessionId) {
    Start();
    Client client(m_reactor, m_server.Port());
    const std::string command = R"({"method":"session-get","tag":7})";
    ASSERT_TRUE(client.Send(Request("POST", "/transmission/rpc", m_host, command)));
    const HttpAnswer refused = client.Receive();
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(refused.Header("x-transmission-session-id"), m_server.SessionId().c_str());
    EXPECT_GE(m_server.SessionId().size(), 32u);
    ASSERT_TRUE(client.Send(Request("POST", "/transmission/rpc",
                                    m_host + "X-Transmission-Session-Id: wrong\r\n", command)));
    EXPECT_EQ(client.Receive().status, 409);
    EXPECT_TRUE(m_bodies.empty());

    ASSERT_TRUE(client.Send(Request("POST", "/transmission/rpc", m_host + m_session, command)));
    const HttpAnswer answer = client.Receive();
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.Header("content-type").rfind("application/json", 0), 0u);
    EXPECT_EQ(answer.body, R"({"arguments":{},"result":"success"})");
    EXPECT_EQ(m_bodies, std::vector<std::string>{command});

    EXPECT_EQ(Ask(Request("GET", "/transmission/rpc", m_host + m_session)).status, 405);
}

TEST_F(RpcServerTest, RefusesForeignHostsAndOrigins) {
    RpcServerOptions options;
    options.hostWhitelist = "nas.lan";
    Start(options);
    const std::string post = "POST";
    const std::string port = std::to_string(m_server.Port());
    EXPECT_EQ(Ask(Request(post, "/transmission/rpc",
                          "Host: evil.example:" + port + "\r\n" + m_session, "{}"))
                  .status,
              421);
    EXPECT_EQ(Ask(Request("GET", "/", "Host: evil.example\r\n")).status, 421);
    EXPECT_EQ(Ask(Request(post, "/transmission/rpc",
                          m_host + m_session + "Origin: http://evil.example\r\n", "{}"))
                  .status,
              403);
    EXPECT_EQ(Ask(Request(post, "/transmission/rpc", m_host + m_session + "Origin: null\r\n", "{}"))
                  .status,
              403);
    EXPECT_TRUE(m_bodies.empty());
    // A browser preflight gets no permission either.
    EXPECT_NE(Ask(Request("OPTIONS", "/transmission/rpc",
                          m_host + "Origin: http://evil.example\r\n"
                                   "Access-Control-Request-Method: POST\r\n"))
                  .status,
              200);

    EXPECT_EQ(Ask(Request(post, "/transmission/rpc",
                          "Host: NAS.lan:" + port + "\r\n" + m_session +
                              "Origin: http://nas.lan:" + port + "\r\n",
                          "{}"))
                  .status,
              200);
    EXPECT_EQ(
        Ask(Request(post, "/transmission/rpc", "Host: [::1]:" + port + "\r\n" + m_session, "{}"))
            .status,
        200);
    EXPECT_EQ(m_bodies.size(), 2u);
}

// Refused from its headers: the server never waits for, nor keeps, a gigabyte.
TEST_F(RpcServerTest, RefusesAHugeBodyWithoutReadingIt) {
    Start();
    Client client(m_reactor, m_server.Port());
    ASSERT_TRUE(client.Send("POST /transmission/rpc HTTP/1.1\r\n" + m_host + m_session +
                            "Content-Length: 1073741824\r\n\r\n{\"method\":"));
    EXPECT_EQ(client.Receive().status, 413);
    EXPECT_TRUE(client.Closed());
    EXPECT_TRUE(m_bodies.empty());

    RpcServerOptions small;
    small.maxBody = 1000;
    Start(small);
    Client chunked(m_reactor, m_server.Port());
    std::string chunks;
    for (int i = 0; i < 5; ++i) {
        chunks += "12c\r\n" + std::string(300, ' ') + "\r\n";
    }
    ASSERT_TRUE(chunked.Send("POST /transmission/rpc HTTP/1.1\r\n" + m_host + m_session +
                             "Transfer-Encoding: chunked\r\n\r\n" + chunks + "0\r\n\r\n"));
    EXPECT_NE(chunked.Receive().status, 200);
    EXPECT_TRUE(m_bodies.empty());
}

TEST_F(RpcServerTest, AsksForTheLoginAndSlowsDownGuessing) {
    RpcServerOptions options;
    options.user = "alice";
    options.passwordHash = HashRpcPassword("secret", 1000);
    Start(options);
    const std::string good = "Authorization: Basic YWxpY2U6c2VjcmV0\r\n";  // alice:secret
    const std::string bad = "Authorization: Basic YWxpY2U6c2VjcmVU\r\n";   // alice:secreT
    const HttpAnswer asked = Ask(Request("POST", "/transmission/rpc", m_host + m_session, "{}"));
    EXPECT_EQ(asked.status, 401);
    EXPECT_EQ(asked.Header("www-authenticate").rfind("basic realm=", 0), 0u);
    // The session id is told only to whoever logged in.
    EXPECT_EQ(asked.Header("x-transmission-session-id"), "");
    EXPECT_EQ(Ask(Request("POST", "/transmission/rpc", m_host + bad + m_session, "{}")).status,
              401);
    // Right, but too soon after a failure from this address.
    EXPECT_EQ(Ask(Request("POST", "/transmission/rpc", m_host + good + m_session, "{}")).status,
              429);
    EXPECT_TRUE(m_bodies.empty());

    // 10 000 guesses on kept-alive connections: each one is answered, but the slow hash runs
    // only when the address's wait is over.
    Client client(m_reactor, m_server.Port());
    const std::string guess = Request("POST", "/transmission/rpc", m_host + bad + m_session, "{}");
    for (int sent = 0; sent < 10000;) {
        std::string batch;
        for (int i = 0; i < 100; ++i) {
            batch += guess;
        }
        ASSERT_TRUE(client.Send(batch));
        for (int i = 0; i < 100; ++i, ++sent) {
            const int status = client.Receive().status;
            ASSERT_TRUE(status == 401 || status == 429) << sent << ": " << status;
        }
    }
    EXPECT_LE(m_server.PasswordChecks(), 20u);
    EXPECT_EQ(m_server.Throttle().Size(), 1u);

    // Once the wait is over the right password gets in, and stays in without a hash per request.
    HttpAnswer in;
    const auto tries = m_server.PasswordChecks();
    ASSERT_TRUE(test::RunUntil(
        m_reactor,
        [&] {
            in = Ask(Request("POST", "/transmission/rpc", m_host + good + m_session, "{}"));
            return in.status != 429;
        },
        60));
    EXPECT_EQ(in.status, 200);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Ask(Request("POST", "/transmission/rpc", m_host + good + m_session, "{}")).status,
                  200);
    }
    EXPECT_EQ(m_server.PasswordChecks(), tries + 1);
}

TEST_F(RpcServerTest, NeverListensBeyondLoopbackWithoutALogin) {
    std::string error;
    RpcServerOptions options;
    options.port = 0;
    for (const char* bind : {"0.0.0.0", "::", "192.168.1.2"}) {
        options.bind = bind;
        EXPECT_FALSE(m_server.Start(options, error)) << bind;
        EXPECT_NE(error.find("password"), std::string::npos) << error;
        EXPECT_FALSE(m_server.IsRunning());
    }
    options.user = "alice";
    options.passwordHash = "secret";  // a clear password put in by hand is no hash
    options.bind = "127.0.0.1";
    EXPECT_FALSE(m_server.Start(options, error));
    options.passwordHash = HashRpcPassword("secret", 1000);
    EXPECT_TRUE(m_server.Start(options, error)) << error;
}

TEST_F(RpcServerTest, ServesThePageFolderAndNothingBeyondIt) {
    test::TempDir folder;
    test::WriteFile(folder / "web/index.html", "<title>Velbrook</title>");
    test::WriteFile(folder / "web/.hidden", "no");
    test::WriteFile(folder / "secret.txt", "secret");
    std::filesystem::create_symlink(folder / "secret.txt", folder / "web/link.txt");
    RpcServerOptions options;
    options.webFolder = folder / "web";
    // The page loads before a login, to show its login form.
    options.user = "alice";
    options.passwordHash = HashRpcPassword("secret", 1000);
    Start(options);
    const HttpAnswer page = Ask(Request("GET", "/", m_host));
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, "<title>Velbrook</title>");
    EXPECT_EQ(Ask(Request("GET", "/transmission/web/", m_host)).body, page.body);
    EXPECT_EQ(Ask(Request("GET", "/transmission/web", m_host)).Header("location"),
              "/transmission/web/");
    EXPECT_EQ(page.Header("content-type").rfind("text/html", 0), 0u);
    EXPECT_EQ(page.Header("content-security-policy"), "default-src 'self'; frame-ancestors 'none'");
    EXPECT_EQ(page.Header("x-content-type-options"), "nosniff");
    for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/.hidden", "/link.txt",
                             "/missing.html", "/index.html/", "/transmission/web/../../secret.txt",
                             "/transmission/web/%2e%2e/secret.txt", "/transmission/web/link.txt"}) {
        const HttpAnswer answer = Ask(Request("GET", path, m_host));
        EXPECT_NE(answer.status, 200) << path;
        EXPECT_EQ(answer.body.find("secret"), std::string::npos) << path;
    }
}

// The page logs in once and then sends its cookie instead of a password.
TEST_F(RpcServerTest, PageLoginGivesACookieThatOpensTheRpcPathUntilLogout) {
    RpcServerOptions options;
    options.user = "alice";
    options.passwordHash = HashRpcPassword("secret", 1000);
    Start(options);
    const std::string page = m_host + m_session + "X-Velbrook-Page: 1\r\n";
    const HttpAnswer asked = Ask(Request("POST", "/transmission/rpc", page, "{}"));
    EXPECT_EQ(asked.status, 401);
    // No Basic challenge: the browser would cover the page's form with a dialog of its own.
    EXPECT_EQ(asked.Header("www-authenticate"), "");

    const std::string login = "/transmission/login";
    const HttpAnswer wrong =
        Ask(Request("POST", login, m_host, R"({"user":"alice","password":"secreT"})"));
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(wrong.Header("set-cookie"), "");
    const std::string right = R"({"user":"alice","password":"secret"})";
    EXPECT_EQ(Ask(Request("POST", login, m_host, right)).status, 429);
    EXPECT_EQ(m_server.PasswordChecks(), 1u);
    HttpAnswer in;
    ASSERT_TRUE(test::RunUntil(
        m_reactor,
        [&] {
            in = Ask(Request("POST", login, m_host, right));
            return in.status != 429;
        },
        10));
    EXPECT_EQ(in.status, 200);
    const std::string cookie = in.Header("set-cookie");
    EXPECT_NE(cookie.find("; httponly"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("; samesite=strict"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("; path=/"), std::string::npos) << cookie;
    const std::string token = cookie.substr(0, cookie.find(';'));  // velbrook_session=HEX
    ASSERT_EQ(token.rfind("velbrook_session=", 0), 0u) << cookie;
    EXPECT_GE(token.size() - token.find('=') - 1, 32u);  // 128 bits or more, as hex

    const std::string sent = "Cookie: theme=dark; " + token + "\r\n";
    EXPECT_EQ(Ask(Request("POST", "/transmission/rpc", page + sent, "{}")).status, 200);
    std::string forged = token;
    forged.back() = forged.back() == '0' ? '1' : '0';
    EXPECT_EQ(
        Ask(Request("POST", "/transmission/rpc", page + "Cookie: " + forged + "\r\n", "{}")).status,
        401);
    EXPECT_EQ(m_bodies.size(), 1u);

    const HttpAnswer out = Ask(Request("POST", "/transmission/logout", m_host + sent));
    EXPECT_EQ(out.status, 200);
    EXPECT_NE(out.Header("set-cookie").find("max-age=0"), std::string::npos);
    EXPECT_EQ(Ask(Request("POST", "/transmission/rpc", page + sent, "{}")).status, 401);
    EXPECT_EQ(m_bodies.size(), 1u);
}

TEST(WebSessions, ForgetsTheLeastRecentlyUsedAndTheIdle) {
    WebSessions sessions(2, std::chrono::hours(1));
    const Time start{};
    const auto at = [start](int minutes) { return start + std::chrono::minutes(minutes); };
    const std::string a = sessions.Open(at(0));
    const std::string b = sessions.Open(at(1));
    EXPECT_NE(a, b);
    EXPECT_FALSE(sessions.Check("", at(1)));
    EXPECT_TRUE(sessions.Check(a, at(2)));  // a is now the more recently used
    const std::string c = sessions.Open(at(3));
    EXPECT_EQ(sessions.Size(), 2u);
    EXPECT_FALSE(sessions.Check(b, at(3)));
    EXPECT_TRUE(sessions.Check(a, at(61)));
    EXPECT_FALSE(sessions.Check(c, at(63)));  // an hour unused
    EXPECT_TRUE(sessions.Check(a, at(100)));
    sessions.Close(a);
    EXPECT_FALSE(sessions.Check(a, at(100)));
}

// A client that connects and says nothing, or too many at once, cannot hold the server.
TEST_F(RpcServerTest, DropsIdleClientsAndConnectionsBeyondTheLimit) {
    RpcServerOptions options;
    options.idleTimeoutSeconds = 1;
    options.connectionLimit = 2;
    Start(options);
    Client idle(m_reactor, m_server.Port());
    ASSERT_TRUE(idle.Send("GET / HT"));
    Client silent(m_reactor, m_server.Port());
    Client third(m_reactor, m_server.Port());
    ASSERT_TRUE(third.Send(Request("GET", "/", m_host)));
    // The third is let in only once the silent ones have been dropped to make room.
    EXPECT_EQ(third.Receive().status, 404);
    EXPECT_TRUE(idle.ClosedNow());
    EXPECT_TRUE(silent.ClosedNow());
}

}  // namespace
}  // namespace velbrook
