// The HTTP client against a far end scripted in the test: the tracker, or the SOCKS5 proxy and
// the tracker behind it; over TLS against servers with certificates made now, and through a real
// SOCKS5 proxy.
#include "tracker/HttpClient.h"

#include <gtest/gtest.h>

#include <openssl/x509_vfy.h>
#include <sys/ioctl.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "net/Reactor.h"
#include "net/TlsContext.h"
#include "support/ChildProcess.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"
#include "support/TlsServer.h"

namespace velbrook {
namespace {

using namespace std::chrono_literals;
using test::FarEnd;
using test::TlsFarEnd;
using test::TlsIdentity;
using Reports = std::vector<std::string>;

const std::string kAnnounce = "d8:intervali1800e5:peers0:e";
const std::string kOk = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + kAnnounce;
const std::string kOkReport = "response:" + kAnnounce;

std::string Request(const std::string& path, const std::string& host) {
    return "GET " + path + " HTTP/1.0\r\nHost: " + host +
           "\r\nCache-Control: no-cache\r\nUser-Agent: KORVEX 0.33\r\n\r\n";
}

// Writes down every report as a line of text. With `drop` set it lets the client go from inside
// each report, as owners do.
struct RecordingOwner : HttpOwner {
    void OnResponse(const std::string& body) override { Note("response:" + body); }
    void OnFailure(const std::string& reason, bool noRetry) override {
        Note("failure:" + reason + (noRetry ? " (no retry)" : ""));
    }
    void OnFatal(const std::string& reason) override { Note("fatal:" + reason); }
    void Note(std::string text) {
        reports.push_back(std::move(text));
        if (drop)
            Reactor::DeleteLater(std::move(*drop));
    }
    std::vector<std::string> reports;
    std::unique_ptr<HttpClient>* drop = nullptr;
};

// One connection: the path the far end expects to be asked for, and its answer.
struct Step {
    std::string path;
    std::vector<std::string> answer;  // pieces, written `pause` apart
    bool staysOpen = false;           // until the client hangs up
    Duration pause = 50ms;
};

class HttpClientTest : public ::testing::Test {
protected:
    std::string Here() const { return "127.0.0.1:" + std::to_string(far.m_port); }
    std::string Url(const std::string& path) const { return "http://" + Here() + path; }
    // Bytes that have reached the client and wait to be read by it.
    size_t Unread() const {
        int queued = 0;
        if (!client || client->Fd() < 0 || ::ioctl(client->Fd(), FIONREAD, &queued) < 0) {
            return 0;
        }
        return static_cast<size_t>(queued);
    }
    // Writes the pieces `pause` apart on the client's clock, each read before the next goes.
    void Answer(FarEnd& end, const std::vector<std::string>& pieces, Duration pause = 50ms) {
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) {
                clock.Advance(pause);
            }
            end.Write(pieces[i]);
            test::RunUntil(reactor, [&] { return Unread() == 0; });
        }
    }
    void Start(const std::string& url) {
        owner.reports.clear();
        std::string error;
        EXPECT_TRUE(client->Start(url, error)) << error;
    }
    // Waits for the report, then a little longer so that a second one would show.
    Reports Wait() {
        test::RunUntil(reactor, [&] { return !owner.reports.empty(); });
        test::RunPasses(reactor, 5);
        return owner.reports;
    }
    // Starts a request, plays the far end of each of its connections in turn, and returns the
    // reports.
    Reports Fetch(const std::string& url, const std::vector<Step>& steps = {}) {
        requests.clear();
        Start(url);
        std::vector<FarEnd> open;
        for (const Step& step : steps) {
            FarEnd end = far.Accept(reactor);
            requests.push_back(end.ReadThrough("\r\n\r\n"));
            EXPECT_EQ(requests.back().substr(0, requests.back().find(" HTTP/1.0")),
                      "GET " + step.path);
            Answer(end, step.answer, step.pause);
            if (step.staysOpen)
                open.push_back(std::move(end));
        }
        return Wait();
    }

    // Each report, and the connections that lead to it. An answer that redirects says nothing;
    // only where it leads reports.
    std::vector<std::pair<std::string, std::vector<Step>>> Cases() const {
        const Step ok{"/ok", {kOk}};
        const Step loop{"/loop", {"HTTP/1.0 302 Found\r\nLocation: " + Url("/loop") + "\r\n\r\n"}};
        return {
            {kOkReport, {ok}},
            {"fatal:Header error:HTTP/1.0 404 Not Found",
             {{"/404", {"HTTP/1.0 404 Not Found\r\n\r\nmissing"}}}},
            {"failure:Server response 0 byte.", {{"/silentclose", {}}}},
            {"failure:Server response too large.",
             {{"/huge", {kOk + std::string(HttpClient::kMaxAnswer, 'x')}}}},
            // Left open by the server, an answer ends once its Content-Length has arrived:
            // waiting for a close would take until the silence timer gives up.
            {kOkReport,
             {{"/length",
               {"HTTP/1.0 200 OK\r\nContent-Len", "gth: 27\r\n\r", "\n" + kAnnounce.substr(0, 9),
                kAnnounce.substr(9) + "trailing bytes"},
               true}}},
            {kOkReport,
             {{"/r301", {"HTTP/1.1 301 Moved Permanently\r\nlocation: /ok\r\n\r\n"}}, ok}},
            // Only a header named Location counts, and its value is trimmed.
            {kOkReport,
             {{"/r302",
               {"HTTP/1.0 302 Found\r\nContent-Location: /wrong\r\nLocation:  //" + Here() +
                "/ok  \r\n\r\n"}},
              ok}},
            {kOkReport,
             {{"/dir/r303", {"HTTP/1.1 303 See Other\r\nLOCATION: a?x=1\r\n\r\n"}},
              {"/dir/a?x=1", {kOk}}}},
            {kOkReport,
             {{"/r307", {"HTTP/1.1 307 Temporary Redirect\nlocation: " + Url("/ok") + "\n\n"}},
              ok}},
            {kOkReport,
             {{"/r308",
               {"HTTP/1.1 308 Permanent Redirect\r\nContent-Length: 0\r\nlocation: ok#top\r\n\r\n"},
               true},
              ok}},
            {"failure:Tracker redirected to a URL that is not http:// or https://, which is not "
             "supported: ftp://" +
                 Here() + "/ok",
             {{"/ftp", {"HTTP/1.1 301 Moved\r\nLocation: ftp://" + Here() + "/ok\r\n\r\n"}}}},
            // Five restarts, then the sixth Location ends it.
            {"failure:Tracker redirected more than 5 times, last to: " + Url("/loop"),
             std::vector<Step>(HttpClient::kMaxRedirects + 1, loop)},
        };
    }

    test::ManualClock clock;  // outlives what the reactor still has to destroy
    Reactor reactor;
    test::RawListener far;
    RecordingOwner owner;
    std::unique_ptr<HttpClient> client = std::make_unique<HttpClient>(owner, clock, ProxyConfig{});
    std::vector<std::string> requests;
};

// A URL from a torrent file must not smuggle anything into the request.
TEST(HttpUrl, SplitsHttpUrlsAndRefusesEverythingElse) {
    HttpUrl parts;
    ASSERT_TRUE(SplitHttpUrl("HTTP://t.example:6969?info=%20&b", parts));
    EXPECT_EQ(std::tie(parts.secure, parts.host, parts.port, parts.object),
              std::make_tuple(false, "t.example", 6969, "/?info=%20&b"));
    ASSERT_TRUE(SplitHttpUrl("Https://t.example/a", parts));
    EXPECT_EQ(std::tie(parts.secure, parts.host, parts.port, parts.object),
              std::make_tuple(true, "t.example", 443, "/a"));
    ASSERT_TRUE(SplitHttpUrl("http://[::1]:6969/announce", parts));
    EXPECT_EQ(std::tie(parts.host, parts.port, parts.object),
              std::make_tuple("::1", 6969, "/announce"));
    EXPECT_EQ(ResolveLocation(parts, "/other"), "http://[::1]:6969/other");
    for (const char* url :
         {"httpss://host/", "https:/host/", "udp://host:80", "http://", "http://:80/",
          "http://host:0/", "http://host:65536/", "http://host:8x/", "http://host/a b",
          "http://host/a\r\nX:y", "http://[::1", "http://[host]/", "http://[::1]x/"}) {
        EXPECT_FALSE(SplitHttpUrl(url, parts)) << url;
    }
}

TEST_F(HttpClientTest, EachAnswerReachesTheOwnerOnce) {
    for (const auto& [report, steps] : Cases()) {
        EXPECT_EQ(Fetch(Url(steps[0].path), steps), Reports{report}) << steps[0].path;
        EXPECT_EQ(client->State(), HttpClientState::Idle) << steps[0].path;
    }
    Fetch(Url("/ok"), {{"/ok", {kOk}}});
    EXPECT_EQ(requests, Reports{Request("/ok", Here())});
}

TEST_F(HttpClientTest, OwnerMayDestroyTheClientInsideAnyReport) {
    owner.drop = &client;
    for (const auto& [report, steps] : Cases()) {
        client = std::make_unique<HttpClient>(owner, clock, ProxyConfig{});
        EXPECT_EQ(Fetch(Url(steps[0].path), steps).size(), 1u) << steps[0].path;
        EXPECT_EQ(client, nullptr);
    }
}

TEST_F(HttpClientTest, UnstartableRefusedAndSilentRequestsFail) {
    std::string error;
    EXPECT_FALSE(client->Start("udp://127.0.0.1:80/announce", error));
    EXPECT_EQ(error, "Error: can only use URLs beginning with http:// or https://");
    EXPECT_EQ(client->State(), HttpClientState::Idle);
    const std::string refused = "http://127.0.0.1:" + std::to_string(test::FreePort()) + "/ok";
    EXPECT_EQ(Fetch(refused), Reports{"failure:Can't Connect Tracker: " + refused});

    // Timed out on the clock, to the millisecond: a tracker that says nothing after the
    // connect, and one that keeps dripping a byte every 50 s, which keeps it alive past a
    // minute of allowed silence until the whole request's deadline ends it.
    const std::vector<std::string> trickle{"HTTP/1.0 200 OK\r\n\r\n", "t", "t"};
    for (const bool drips : {false, true}) {
        Start(Url("/slow"));
        FarEnd end = far.Accept(reactor);
        EXPECT_NE(end.ReadThrough("\r\n\r\n"), "");
        Duration left = HttpClient::kSilenceTimeout;
        if (drips) {
            Answer(end, trickle, 50s);
            left = HttpClient::kDeadline - 100s;
        }
        clock.Advance(left - 1ms);
        test::RunPasses(reactor, 3);
        EXPECT_TRUE(owner.reports.empty()) << drips;
        clock.Advance(1ms);
        EXPECT_EQ(owner.reports, Reports{"failure:Tracker timed out."}) << drips;
        EXPECT_EQ(client->State(), HttpClientState::Idle);
    }
}

TEST_F(HttpClientTest, Socks5RepliesFromAScriptedProxy) {
    ProxyConfig via{true, "127.0.0.1", far.m_port, "", ""};
    const std::string greet("\x05\x01\x00", 3), accepted("\x05\x00", 2);
    // The proxy resolves the tracker's name, which goes as given, and the Host line carries it
    // without the default port.
    const std::string connect("\x05\x01\x00\x03\x0ftracker.example\x00\x50", 22);
    const std::string request = Request("/ok", "tracker.example");
    // What the proxy expects to read, and its answers.
    using Talk = std::vector<std::pair<std::string, std::vector<std::string>>>;
    const std::vector<std::tuple<std::string, Talk, std::string>> cases = {
        {"", {{greet, {"\x05\xff"}}}, "Socks5: no acceptable methods!"},
        {"alice",
         {{std::string("\x05\x01\x02", 3), {"\x05\x02"}},
          {std::string("\x01\x05"
                       "alice\0",
                       8),
           {"\x01\x01"}}},
         "Socks5: Wrong Username/Password!"},
        {"",
         {{greet, {accepted}},
          {connect, {std::string("\x05\x05\0\x01", 4) + std::string(6, '\0')}}},
         "Socks5: Can't Connected server tracker.example, Error no.5"},
        {"", {{greet, {}}}, "Socks5 server protocal error!"},
        // Each reply in two pieces; the bound address is a name.
        {"",
         {{greet, {"\x05", std::string(1, '\0')}},
          {connect, {std::string("\x05\0\0\x03\x09", 5) + "127.0", ".0.1\x1a\xe1"}},
          {request, {kOk}}},
         kOkReport},
        // The bound address is line ends, which spoil the answer if the client keeps any of
        // it; the answer comes in the same read as the reply.
        {"",
         {{greet, {accepted}},
          {connect, {std::string("\x05\0\0\x04", 4) + std::string(18, '\n') + kOk}},
          {request, {}}},
         kOkReport},
    };
    for (const auto& [user, talk, report] : cases) {
        via.user = user;
        client = std::make_unique<HttpClient>(owner, clock, via);
        Start("http://tracker.example/ok");
        {
            FarEnd proxy = far.Accept(reactor);
            for (const auto& [expected, answer] : talk) {
                EXPECT_EQ(proxy.Read(expected.size()), expected) << report;
                Answer(proxy, answer);
            }
        }
        test::RunUntil(reactor, [&] { return !owner.reports.empty(); });
        EXPECT_EQ(owner.reports,
                  Reports{report.rfind("response:", 0) == 0 ? report : "failure:" + report});
    }
    // A user name that does not fit SOCKS5's length byte fails before a byte is sent.
    via.user = std::string(256, 'u');
    client = std::make_unique<HttpClient>(owner, clock, via);
    EXPECT_EQ(Fetch("http://tracker.example/ok"), Reports{"failure:Socks5 server protocal error!"});
    EXPECT_EQ(far.Accept(reactor).Read(1, 0), "");
}

std::string CheckFailed(long verifyError) {
    return std::string("failure:Certificate check failed: ") +
           X509_verify_cert_error_string(verifyError);
}

// The far end as a TLS server, with certificates made now.
class HttpsClientTest : public HttpClientTest {
protected:
    HttpsClientTest() {
        authority.WriteCertificate(temp / "authority.pem");
        selfSigned.WriteCertificate(temp / "self-signed.pem");
    }
    void Start(std::unique_ptr<HttpClient> made, const std::string& url) {
        client = std::move(made);
        HttpClientTest::Start(url);
    }
    std::string SecureUrl(const std::string& host, const std::string& path) const {
        return "https://" + host + ":" + std::to_string(far.m_port) + path;
    }

    test::TempDir temp;
    const TlsIdentity selfSigned{"IP:127.0.0.1"};
    const TlsIdentity authority{"", nullptr, true};
    const TlsIdentity localhost{"DNS:localhost", &authority};
    const TlsIdentity elsewhere{"DNS:tracker.example", &authority};
};

// The certificate decides whether the request is sent: it must come from a trusted issuer and
// name the host the URL names (an address for an address, which is never sent as a server name).
// With the check off, a self-made certificate is enough. An answer is read whether the server
// just hangs up, or sends a close alert or its Content-Length and then waits for us to hang up.
TEST_F(HttpsClientTest, TheCertificateCheckDecidesAndAnswersAreReadHoweverTheyEnd) {
    TlsContext trustAuthority(temp / "authority.pem");
    TlsContext trustSelfSigned(temp / "self-signed.pem");
    enum class Ending { CloseNotify, HangUp, StayOpen };
    struct Case {
        const TlsIdentity& identity;
        std::string host;
        bool check;
        TlsContext& trust;
        std::string report;
        Ending ending = Ending::HangUp;
    };
    const Case cases[] = {
        {selfSigned, "127.0.0.1", false, TlsContext::SystemStore(), kOkReport, Ending::StayOpen},
        {selfSigned, "127.0.0.1", true, TlsContext::SystemStore(),
         CheckFailed(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT)},
        {selfSigned, "127.0.0.1", true, trustSelfSigned, kOkReport, Ending::CloseNotify},
        {localhost, "localhost", true, trustAuthority, kOkReport},
        {localhost, "localhost", true, TlsContext::SystemStore(),
         CheckFailed(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN)},
        {localhost, "127.0.0.1", true, trustAuthority, CheckFailed(X509_V_ERR_IP_ADDRESS_MISMATCH)},
        {elsewhere, "localhost", true, trustAuthority, CheckFailed(X509_V_ERR_HOSTNAME_MISMATCH)},
        {elsewhere, "localhost", false, trustAuthority, kOkReport, Ending::CloseNotify},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + " " + c.report);
        const bool passes = c.report == kOkReport;
        Start(std::make_unique<HttpClient>(owner, clock, ProxyConfig{}, c.check, c.trust),
              SecureUrl(c.host, "/ok"));
        const auto context = c.identity.ServerContext();
        auto end = std::make_unique<TlsFarEnd>(reactor, context.get(), far.TakeConnection(reactor));
        ASSERT_EQ(end->Handshake(), passes);
        EXPECT_EQ(end->ServerName(), c.host == "localhost" ? "localhost" : "");
        if (passes) {
            EXPECT_EQ(end->ReadThrough("\r\n\r\n"),
                      Request("/ok", c.host + ":" + std::to_string(far.m_port)));
            EXPECT_TRUE(end->Write(c.ending == Ending::StayOpen
                                       ? "HTTP/1.0 200 OK\r\nContent-Length: 27\r\n\r\n" + kAnnounce
                                       : "HTTP/1.0 200 OK\r\n\r\n" + kAnnounce));
            if (c.ending == Ending::CloseNotify)
                end->CloseNotify();
        }
        if (c.ending == Ending::HangUp)
            end.reset();
        EXPECT_EQ(Wait(), Reports{c.report});
        EXPECT_EQ(client->State(), HttpClientState::Idle);
    }
}

// A server that hangs up in the middle of the handshake, one that answers in plain text, and one
// that breaks the record layer once the handshake is done: each ends in one failure, and none
// leaves the request hanging.
TEST_F(HttpsClientTest, BrokenHandshakesAndRecordsEndInOneFailure) {
    const std::string url = SecureUrl("127.0.0.1", "/ok");
    const auto start = [&] {
        Start(std::make_unique<HttpClient>(owner, clock, ProxyConfig{}, false), url);
    };
    // Read whole, so that hanging up sends no reset.
    const auto clientHello = [](FarEnd& end) {
        const std::string header = end.Read(5);
        EXPECT_EQ(header.substr(0, 1), "\x16");  // a handshake record
        return header.size() == 5 && end.Read(static_cast<unsigned char>(header[3]) * 256u +
                                              static_cast<unsigned char>(header[4]))
                                             .size() > 0;
    };
    start();
    {
        FarEnd end(reactor, far.TakeConnection(reactor));
        EXPECT_TRUE(clientHello(end));
    }  // hangs up
    EXPECT_EQ(Wait(), Reports{"failure:TLS handshake failed: the server closed the connection"});

    start();
    {
        FarEnd end(reactor, far.TakeConnection(reactor));
        EXPECT_TRUE(clientHello(end));
        EXPECT_TRUE(end.Write("HTTP/1.0 400 Bad Request\r\n\r\n"));
        ASSERT_EQ(Wait().size(), 1u);
        EXPECT_EQ(owner.reports[0].rfind("failure:TLS handshake failed: ", 0), 0u)
            << owner.reports[0];
    }

    start();
    const auto context = selfSigned.ServerContext();
    TlsFarEnd end(reactor, context.get(), far.TakeConnection(reactor));
    ASSERT_TRUE(end.Handshake());
    EXPECT_NE(end.ReadThrough("\r\n\r\n"), "");
    end.WriteRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'x'));
    ASSERT_EQ(Wait().size(), 1u);
    EXPECT_EQ(owner.reports[0].rfind("failure:TLS error: ", 0), 0u) << owner.reports[0];
    EXPECT_EQ(client->State(), HttpClientState::Idle);
}

// Redirects cross from http to https and back; a relative one stays on https.
TEST_F(HttpsClientTest, RedirectsCrossBetweenHttpAndHttps) {
    test::RawListener plain;
    const std::string plainHere = "127.0.0.1:" + std::to_string(plain.m_port);
    Start(std::make_unique<HttpClient>(owner, clock, ProxyConfig{}, false),
          "http://" + plainHere + "/a");
    const auto servePlain = [&](const std::string& path, const std::string& answer) {
        FarEnd end(reactor, plain.TakeConnection(reactor));
        EXPECT_EQ(end.ReadThrough("\r\n\r\n"), Request(path, plainHere));
        EXPECT_TRUE(end.Write(answer));
    };
    servePlain("/a", "HTTP/1.0 302 Found\r\nLocation: https://" + Here() + "/b\r\n\r\n");
    const auto context = selfSigned.ServerContext();
    for (const auto& [path, answer] : {
             std::pair<std::string, std::string>{"/b", "HTTP/1.0 301 Moved\r\nLocation: c\r\n\r\n"},
             {"/c", "HTTP/1.0 302 Found\r\nLocation: http://" + plainHere + "/d\r\n\r\n"},
         }) {
        TlsFarEnd end(reactor, context.get(), far.TakeConnection(reactor));
        ASSERT_TRUE(end.Handshake()) << path;
        EXPECT_EQ(end.ReadThrough("\r\n\r\n"), Request(path, Here()));
        EXPECT_TRUE(end.Write(answer));
    }
    servePlain("/d", "HTTP/1.0 200 OK\r\n\r\n" + kAnnounce);
    EXPECT_EQ(Wait(), Reports{kOkReport});
}

// Through a real SOCKS5 proxy the TLS session runs inside the tunnel, and the certificate is
// checked against the URL's host all the same.
TEST_F(HttpsClientTest, ReachesTheServerThroughASocks5Proxy) {
    const uint16_t proxyPort = test::FreePort();
    test::ChildProcess proxy(
        {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxyPort)});
    ASSERT_TRUE(proxy.WaitForListener(proxyPort));
    TlsContext trust(temp / "self-signed.pem");
    Start(std::make_unique<HttpClient>(
              owner, clock, ProxyConfig{true, "127.0.0.1", proxyPort, "", ""}, true, trust),
          SecureUrl("127.0.0.1", "/ok"));
    const auto context = selfSigned.ServerContext();
    {
        TlsFarEnd end(reactor, context.get(), far.TakeConnection(reactor));
        ASSERT_TRUE(end.Handshake());
        EXPECT_EQ(end.ReadThrough("\r\n\r\n"), Request("/ok", Here()));
        EXPECT_TRUE(end.Write("HTTP/1.0 200 OK\r\n\r\n" + kAnnounce));
    }
    EXPECT_EQ(Wait(), Reports{kOkReport});
}

}  // namespace
}  // namespace velbrook
