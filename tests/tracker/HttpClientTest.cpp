#include "tracker/HttpClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "net/Reactor.h"
#include "persist/Settings.h"
#include "support/TempDir.h"
#include "tracker/ScriptedHttpServer.h"

namespace velbrook {
namespace {

using test::Spawn;
using test::Stop;

using Reports = std::vector<std::string>;

// Every report as a line of text; can let the client go from inside a report, as owners do.
class Owner : public HttpOwner {
public:
    Reports reports;
    std::unique_ptr<HttpClient>* dropOnReport = nullptr;
    void OnResponse(const std::string& body) override { Note("response:" + body); }
    void OnFailure(const std::string& reason, bool noRetry) override {
        Note("failure:" + reason + (noRetry ? " (no retry)" : ""));
    }
    void OnFatal(const std::string& reason) override { Note("fatal:" + reason); }

private:
    void Note(std::string text) {
        reports.push_back(std::move(text));
        if (dropOnReport)
            Reactor::DeleteLater(std::move(*dropOnReport));
    }
};

// probe: whether something accepts there; otherwise a port that was free a moment ago.
uint16_t LocalPort(uint16_t probe = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(probe);
    socklen_t size = sizeof at;
    auto* address = reinterpret_cast<sockaddr*>(&at);
    const bool ok = probe ? connect(fd, address, size) == 0
                          : bind(fd, address, size) == 0 && getsockname(fd, address, &size) == 0;
    close(fd);
    return ok ? ntohs(at.sin_port) : 0;
}

class HttpClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = std::make_unique<test::TempDir>();
        s_server = std::make_unique<test::ScriptedHttpServer>();
        ASSERT_TRUE(s_server->Start(LogPath())) << "the scripted server did not start";
    }
    static void TearDownTestSuite() {
        s_server.reset();
        s_dir.reset();
    }
    static std::string LogPath() { return *s_dir / "requests.log"; }
    static std::string Log() { return test::ReadFile(LogPath()); }
    static std::string Url(const std::string& path) { return s_server->Url(path); }
    static uint16_t Port(const std::string& name) { return s_server->Port(name); }
    static size_t Count(const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

    bool RunUntil(const std::function<bool()>& done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!done() && std::chrono::steady_clock::now() < end)
            reactor.RunOnce(10);
        return done();
    }
    // Waits for `count` reports, then a little longer so that one too many would show.
    Reports Fetch(const std::string& url, size_t count = 1) {
        owner.reports.clear();
        std::string error;
        EXPECT_TRUE(client->Start(url, error)) << error;
        RunUntil([&] { return owner.reports.size() >= count; });
        for (int i = 0; i < 5; ++i)
            reactor.RunOnce(10);
        return owner.reports;
    }
    void UseProxy(uint16_t port, const std::string& user = {}, const std::string& pass = {}) {
        settings.SetInt(ConnectionType, 2);
        settings.SetString(SocksServer, "127.0.0.1");
        settings.SetInt(SocksPort, port);
        settings.SetString(Socks5UserName, user);
        settings.SetString(Socks5Password, pass);
    }

    static inline std::unique_ptr<test::TempDir> s_dir;
    static inline std::unique_ptr<test::ScriptedHttpServer> s_server;

    Reactor reactor;
    Settings settings{"/tmp/"};
    Owner owner;
    std::unique_ptr<HttpClient> client = std::make_unique<HttpClient>(owner);
};

const std::string kOkBody = "response:d8:intervali1800e5:peers0:e";

// The request as the scripted server echoes it back; the Host line names the port unless it is 80.
std::string Echoed(const std::string& object, const std::string& host) {
    return "response:GET " + object + " HTTP/1.0\r\nHost: " + host +
           "\r\nCache-Control: no-cache\r\nUser-Agent: KORVEX 0.33\r\n\r\n";
}

TEST(HttpUrlTest, SplitsHttpUrlsAndRefusesEverythingElse) {
    const std::vector<std::tuple<std::string, std::string, uint16_t, std::string>> good = {
        {"http://tracker.example:6969/announce?a=%20&b", "tracker.example", 6969,
         "/announce?a=%20&b"},
        {"HTTP://Host/x", "Host", 80, "/x"},
        {"http://host", "host", 80, "/"},
        {"http://host:65535?info=1", "host", 65535, "/?info=1"},
    };
    for (const auto& [url, host, port, object] : good) {
        HttpUrl parts;
        ASSERT_TRUE(SplitHttpUrl(url, parts)) << url;
        EXPECT_EQ(parts.host, host);
        EXPECT_EQ(parts.port, port);
        EXPECT_EQ(parts.object, object);
    }
    for (const char* url : {"https://host/", "udp://host:80", "http://", "http://:80/",
                            "http://host:0/", "http://host:65536/", "http://host:/x",
                            "http://host:8x/", "http://host/a b", "http://host/a\r\nX: y"}) {
        HttpUrl parts;
        EXPECT_FALSE(SplitHttpUrl(url, parts)) << url;
    }
}

// What the scripted server's answers leave out.
TEST(HttpAnswerTest, QueryAndEmptyLocationsOtherSchemesAndOddHeaders) {
    HttpUrl base;
    ASSERT_TRUE(SplitHttpUrl("http://t.example/dir/announce?key=1", base));
    EXPECT_EQ(ResolveLocation(base, "?key=2"), "http://t.example/dir/announce?key=2");
    EXPECT_EQ(ResolveLocation(base, ""), "http://t.example/dir/announce?key=1");
    EXPECT_EQ(ResolveLocation(base, "udp://other:80#frag"), "udp://other:80");
    EXPECT_EQ(ParseHttpAnswer("HTTP/1.1 304 Not Modified\r\nLocation: /x\r\n\r\n").kind,
              HttpAnswerKind::RejectedLine);
    EXPECT_EQ(ParseHttpAnswer("HTTP/1.0 200 OK\r\nContent-Length: 3x\r\n\r\nabcdef").body,
              "abcdef");
}

TEST_F(HttpClientTest, EachAnswerReachesTheOwnerOnce) {
    const std::string here = "127.0.0.1:" + std::to_string(Port("http"));
    const std::vector<std::pair<std::string, Reports>> cases = {
        {"/ok", {kOkBody}},
        {"/echo?x=1", {Echoed("/echo?x=1", here)}},
        {"/404", {"fatal:Header error:HTTP/1.0 404 Not Found"}},
        {"/reason200", {"response:body"}},
        {"/lf", {"response:lf\r\n\r\nbody"}},
        {"/empty", {"response:"}},
        {"/silentclose", {"failure:Server response 0 byte."}},
        {"/noblank", {"failure:Can't find \\r\\n\\r\\n in server response."}},
        {"/huge", {"failure:Server response too large."}},
        {"/biglength", {"failure:Server response too large."}},
        // The answer that redirects says nothing; only where it leads reports.
        {"/redirect", {kOkBody}},
        {"/r301", {kOkBody}},
        {"/r302", {kOkBody}},
        {"/dir/r303", {Echoed("/dir/echo?x=1", here)}},
        {"/r307", {kOkBody}},
        {"/r308", {kOkBody}},
        {"/https",
         {"failure:Tracker redirected to an https:// URL, which is not supported: https://" + here +
          "/ok"}},
        {"/ftp",
         {"failure:Tracker redirected to a URL that is not http://, which is not supported: "
          "ftp://127.0.0.1/ok"}},
        {"/loop", {"failure:Tracker redirected more than 5 times, last to: " + Url("/loop")}},
    };
    const size_t loopsBefore = Count(Log(), "GET /loop ");
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(Fetch(Url(path), expected.size()), expected) << path;
        EXPECT_EQ(client->State(), HttpClientState::Idle) << path;
    }
    // Five restarts, then the sixth Location ends it.
    EXPECT_EQ(Count(Log(), "GET /loop ") - loopsBefore, size_t{HttpClient::kMaxRedirects + 1});
    EXPECT_EQ(Count(Log(), "GET /wrong "), 0u);
}

// Left open by the server, these answers end once their Content-Length has arrived: waiting for a
// close would take until the silence timer gives up.
TEST_F(HttpClientTest, ContentLengthEndsAnAnswerTheServerKeepsOpen) {
    EXPECT_EQ(Fetch(Url("/length")), Reports{kOkBody});
    EXPECT_EQ(Fetch(Url("/r308")), Reports{kOkBody});
}

TEST_F(HttpClientTest, UnstartableRefusedAndSilentRequestsFail) {
    std::string error;
    EXPECT_FALSE(client->Start("udp://127.0.0.1:80/announce", error));
    EXPECT_EQ(error, "Error: can only use URLs beginning with http://");
    EXPECT_EQ(client->State(), HttpClientState::Idle);

    const std::string refused = "http://127.0.0.1:" + std::to_string(LocalPort()) + "/ok";
    EXPECT_EQ(Fetch(refused), Reports{"failure:Can't Connect Tracker: " + refused});

    client->SetSilenceTimeoutForTest(200);
    EXPECT_EQ(Fetch(Url("/silent")), Reports{"failure:Tracker timed out."});
    // A byte every 60 ms keeps the request alive well past the allowed silence.
    client->SetSilenceTimeoutForTest(400);
    EXPECT_EQ(Fetch(Url("/trickle")), Reports{"response:" + std::string(12, 't')});

    // A byte a second never lets the default silence timer fire; the deadline ends it anyway.
    client->SetSilenceTimeoutForTest(HttpClient::kSilenceTimeoutMs);
    client->SetDeadlineForTest(1500);
    EXPECT_EQ(Fetch(Url("/drip")), Reports{"failure:Tracker timed out."});
}

TEST_F(HttpClientTest, OwnerMayDestroyTheClientInsideAnyReport) {
    owner.dropOnReport = &client;
    for (const char* path :
         {"/ok", "/404", "/redirect", "/ftp", "/loop", "/huge", "/silentclose", "/length"}) {
        client = std::make_unique<HttpClient>(owner);
        EXPECT_EQ(Fetch(Url(path)).size(), 1u) << path;
        EXPECT_EQ(client, nullptr);
    }
}

TEST_F(HttpClientTest, FetchesThroughMicrosocksWithAndWithoutPassword) {
    for (const bool withPassword : {false, true}) {
        const uint16_t port = LocalPort();
        std::vector<std::string> args = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p",
                                         std::to_string(port)};
        if (withPassword)
            args.insert(args.end(), {"-u", "alice", "-P", "secret"});
        const pid_t proxy = Spawn(args);
        RunUntil([&] { return LocalPort(port) == port; });
        UseProxy(port, withPassword ? "alice" : "", withPassword ? "secret" : "");
        EXPECT_EQ(Fetch(Url("/echo?x=1")),
                  Reports{Echoed("/echo?x=1", "127.0.0.1:" + std::to_string(Port("http")))})
            << withPassword;
        Stop(proxy);
    }
}

TEST_F(HttpClientTest, Socks5RepliesFromAScriptedProxy) {
    char port[8];
    snprintf(port, sizeof port, "%04x", Port("http"));
    const std::string here = "127.0.0.1:" + std::to_string(Port("http"));
    const std::string connect = "0501000309"
                                "3132372e302e302e31" +
                                std::string(port);
    const std::vector<std::tuple<std::string, std::string, Reports, std::vector<std::string>>>
        cases = {
            {"ff", "", {"failure:Socks5: no acceptable methods!"}, {"ff 050100"}},
            {"badpass",
             "alice",
             {"failure:Socks5: Wrong Username/Password!"},
             {"badpass 050102", "badpass 0105616c69636500"}},
            {"refuse",
             "",
             {"failure:Socks5: Can't Connected server 127.0.0.1, Error no.5"},
             {"refuse 050100", "refuse " + connect}},
            {"split", "", {Echoed("/ok", here)}, {"split 050100", "split " + connect}},
            {"hangup", "", {"failure:Socks5 server protocal error!"}, {"hangup 050100"}},
            {"ipv6", "", {"response:v6body"}, {"ipv6 " + connect}},
        };
    for (const auto& [proxy, user, expected, sent] : cases) {
        UseProxy(Port(proxy), user);
        EXPECT_EQ(Fetch(Url("/ok")), expected) << proxy;
        const std::string log = Log();
        for (const std::string& line : sent)
            EXPECT_NE(log.find(line + "\n"), std::string::npos) << line;
    }
    // Names that do not fit SOCKS5's length byte fail before a byte is sent.
    const std::string logBefore = Log();
    UseProxy(Port("ff"), std::string(256, 'u'));
    EXPECT_EQ(Fetch(Url("/ok")), Reports{"failure:Socks5 server protocal error!"});
    EXPECT_EQ(Log(), logBefore);

    // The proxy resolves the tracker's name, which the Host line carries without the default port.
    UseProxy(Port("echo"));
    EXPECT_EQ(Fetch("http://tracker.example/echo"), Reports{Echoed("/echo", "tracker.example")});
    EXPECT_NE(Log().find("echo 05010003"
                         "0f"
                         "747261636b65722e6578616d706c65"
                         "0050\n"),
              std::string::npos);
}

}  // namespace
}  // namespace velbrook
