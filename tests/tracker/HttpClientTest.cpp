#include "tracker/HttpClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "peer/Reactor.h"
#include "persist/Settings.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using Reports = std::vector<std::string>;

// Every report as a line of text; can drop the client from inside a report, as owners do.
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
            dropOnReport->reset();
    }
};

// Output goes to `out`, or with everything else to /dev/null when it is -1.
pid_t Spawn(std::vector<std::string> args, int out = -1) {
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A test that crashes must not leave its servers behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int null = open("/dev/null", O_WRONLY);
        dup2(out >= 0 ? out : null, 1);
        if (out < 0)
            dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void Stop(pid_t pid) {
    if (pid > 0 && kill(pid, SIGTERM) == 0)
        waitpid(pid, nullptr, 0);
}

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
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        s_server = Spawn({"/usr/bin/python3",
                          VELBROOK_SOURCE_DIR "/tests/tracker/scripted_http_server.py", LogPath()},
                         pipeFds[1]);
        close(pipeFds[1]);
        FILE* in = fdopen(pipeFds[0], "r");
        char line[128], name[32];
        unsigned port = 0;
        while (fgets(line, sizeof line, in) && strncmp(line, "ready", 5) != 0)
            if (sscanf(line, "%31s %u", name, &port) == 2)
                s_ports[name] = static_cast<uint16_t>(port);
        fclose(in);
        ASSERT_EQ(s_ports.size(), 7u) << "the scripted server did not start";
    }
    static void TearDownTestSuite() {
        Stop(s_server);
        s_dir.reset();
    }
    static std::string LogPath() { return *s_dir / "requests.log"; }
    static std::string Log() { return test::ReadFile(LogPath()); }
    static std::string Url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(s_ports["http"]) + path;
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
    static inline pid_t s_server = -1;
    static inline std::map<std::string, uint16_t> s_ports;

    Reactor reactor;
    Settings settings{"/tmp/"};
    Owner owner;
    std::unique_ptr<HttpClient> client = std::make_unique<HttpClient>(owner);
};

const std::string kOkBody = "response:d8:intervali1800e5:peers0:e";
const std::string kEchoed = "GET /echo?x=1 HTTP/1.0\r\nCache-Control: no-cache\r\n"
                            "User-Agent: KORVEX 0.33\r\n\r\n";

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

TEST_F(HttpClientTest, EachAnswerReachesTheOwnerOnce) {
    const std::vector<std::pair<std::string, Reports>> cases = {
        {"/ok", {kOkBody}},
        {"/echo?x=1", {"response:" + kEchoed}},
        {"/404", {"fatal:Header error:HTTP/1.0 404 Not Found"}},
        {"/reason200", {"response:body"}},
        {"/lf", {"response:lf\r\n\r\nbody"}},
        {"/empty", {"response:"}},
        {"/silentclose", {"failure:Server response 0 byte."}},
        {"/noblank", {"failure:Can't find \\r\\n\\r\\n in server response."}},
        {"/huge", {"failure:Server response too large."}},
        {"/redirect", {"fatal:Header error:Location: " + Url("/ok"), kOkBody}},
        {"/ftp",
         {"fatal:Header error:Location: ftp://127.0.0.1/ok",
          "failure:Error: can only use URLs beginning with http://"}},
        // Five restarts, then the sixth Location ends it.
        {"/loop",
         Reports(HttpClient::kMaxRedirects + 1, "fatal:Header error:Location: " + Url("/loop"))},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(Fetch(Url(path), expected.size()), expected) << path;
        EXPECT_EQ(client->State(), HttpClientState::Idle) << path;
    }
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
}

TEST_F(HttpClientTest, OwnerMayDestroyTheClientInsideAnyReport) {
    owner.dropOnReport = &client;
    for (const char* path : {"/ok", "/404", "/redirect", "/ftp", "/huge", "/silentclose"}) {
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
        EXPECT_EQ(Fetch(Url("/echo?x=1")), Reports{"response:" + kEchoed}) << withPassword;
        Stop(proxy);
    }
}

TEST_F(HttpClientTest, Socks5RepliesFromAScriptedProxy) {
    char port[8];
    snprintf(port, sizeof port, "%04x", s_ports["http"]);
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
            {"split", "", {"failure:Socks5 server protocal error!"}, {"split 050100"}},
            {"hangup", "", {"failure:Socks5 server protocal error!"}, {"hangup 050100"}},
            {"ipv6", "", {"response:v6body"}, {"ipv6 " + connect}},
        };
    for (const auto& [proxy, user, expected, sent] : cases) {
        UseProxy(s_ports[proxy], user);
        EXPECT_EQ(Fetch(Url("/ok")), expected) << proxy;
        const std::string log = Log();
        for (const std::string& line : sent)
            EXPECT_NE(log.find(line + "\n"), std::string::npos) << line;
    }
    // Names that do not fit SOCKS5's length byte fail before a byte is sent.
    const std::string logBefore = Log();
    UseProxy(s_ports["ff"], std::string(256, 'u'));
    EXPECT_EQ(Fetch(Url("/ok")), Reports{"failure:Socks5 server protocal error!"});
    EXPECT_EQ(Log(), logBefore);
}

}  // namespace
}  // namespace velbrook
