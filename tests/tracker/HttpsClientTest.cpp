// The HTTP client over TLS against servers the test plays on 127.0.0.1 with certificates made
// now: checked or not, broken handshakes, redirects between http and https, and a real SOCKS5
// proxy in between.
#include "tracker/HttpClient.h"

#include <gtest/gtest.h>

#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "net/Reactor.h"
#include "net/TlsContext.h"
#include "support/ChildProcess.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"
#include "support/RecordingHttpOwner.h"
#include "support/TempDir.h"
#include "support/TlsServer.h"

namespace velbrook {
namespace {

using Reports = std::vector<std::string>;
using test::FarEnd;
using test::TlsFarEnd;
using test::TlsIdentity;

const std::string kAnnounce = "d8:intervali1800e5:peers0:e";
const std::string kOkReport = "response:" + kAnnounce;

std::string CheckFailed(long verifyError) {
    return std::string("failure:Certificate check failed: ") +
           X509_verify_cert_error_string(verifyError);
}

std::string Request(const std::string& path, const std::string& host) {
    return "GET " + path + " HTTP/1.0\r\nHost: " + host +
           "\r\nCache-Control: no-cache\r\nUser-Agent: KORVEX 0.33\r\n\r\n";
}

class HttpsClientTest : public ::testing::Test {
protected:
    HttpsClientTest() {
        authority.WriteCertificate(temp / "authority.pem");
        selfSigned.WriteCertificate(temp / "self-signed.pem");
    }

    std::string Url(const std::string& host, uint16_t port, const std::string& path) const {
        return "https://" + host + ":" + std::to_string(port) + path;
    }
    void Start(std::unique_ptr<HttpClient> made, const std::string& url) {
        owner.reports.clear();
        client = std::move(made);
        std::string error;
        EXPECT_TRUE(client->Start(url, error)) << error;
    }
    // Waits for the report, then a little longer so that a second one would show.
    Reports Wait() {
        test::RunUntil(reactor, [&] { return !owner.reports.empty(); });
        test::RunPasses(reactor, 5);
        return owner.reports;
    }

    test::ManualClock clock;  // outlives what the reactor still has to destroy
    Reactor reactor;
    test::TempDir temp;
    test::RawListener server;
    test::RecordingHttpOwner owner;
    std::unique_ptr<HttpClient> client;

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
              Url(c.host, server.m_port, "/ok"));
        const auto context = c.identity.ServerContext();
        auto end =
            std::make_unique<TlsFarEnd>(reactor, context.get(), server.TakeConnection(reactor));
        ASSERT_EQ(end->Handshake(), passes);
        EXPECT_EQ(end->ServerName(), c.host == "localhost" ? "localhost" : "");
        if (passes) {
            EXPECT_EQ(end->ReadThrough("\r\n\r\n"),
                      Request("/ok", c.host + ":" + std::to_string(server.m_port)));
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
    const std::string url = Url("127.0.0.1", server.m_port, "/ok");
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
        FarEnd end(reactor, server.TakeConnection(reactor));
        EXPECT_TRUE(clientHello(end));
    }  // hangs up
    EXPECT_EQ(Wait(), Reports{"failure:TLS handshake failed: the server closed the connection"});

    start();
    {
        FarEnd end(reactor, server.TakeConnection(reactor));
        EXPECT_TRUE(clientHello(end));
        EXPECT_TRUE(end.Write("HTTP/1.0 400 Bad Request\r\n\r\n"));
        ASSERT_EQ(Wait().size(), 1u);
        EXPECT_EQ(owner.reports[0].rfind("failure:TLS handshake failed: ", 0), 0u)
            << owner.reports[0];
    }

    start();
    const auto context = selfSigned.ServerContext();
    TlsFarEnd end(reactor, context.get(), server.TakeConnection(reactor));
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
    const std::string secureHere = "127.0.0.1:" + std::to_string(server.m_port);
    Start(std::make_unique<HttpClient>(owner, clock, ProxyConfig{}, false),
          "http://" + plainHere + "/a");
    const auto servePlain = [&](const std::string& path, const std::string& answer) {
        FarEnd end(reactor, plain.TakeConnection(reactor));
        EXPECT_EQ(end.ReadThrough("\r\n\r\n"), Request(path, plainHere));
        EXPECT_TRUE(end.Write(answer));
    };
    servePlain("/a", "HTTP/1.0 302 Found\r\nLocation: https://" + secureHere + "/b\r\n\r\n");
    const auto context = selfSigned.ServerContext();
    for (const auto& [path, answer] : {
             std::pair<std::string, std::string>{"/b", "HTTP/1.0 301 Moved\r\nLocation: c\r\n\r\n"},
             {"/c", "HTTP/1.0 302 Found\r\nLocation: http://" + plainHere + "/d\r\n\r\n"},
         }) {
        TlsFarEnd end(reactor, context.get(), server.TakeConnection(reactor));
        ASSERT_TRUE(end.Handshake()) << path;
        EXPECT_EQ(end.ReadThrough("\r\n\r\n"), Request(path, secureHere));
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
    const std::string here = "127.0.0.1:" + std::to_string(server.m_port);
    Start(std::make_unique<HttpClient>(
              owner, clock, ProxyConfig{true, "127.0.0.1", proxyPort, "", ""}, true, trust),
          "https://" + here + "/ok");
    const auto context = selfSigned.ServerContext();
    {
        TlsFarEnd end(reactor, context.get(), server.TakeConnection(reactor));
        ASSERT_TRUE(end.Handshake());
        EXPECT_EQ(end.ReadThrough("\r\n\r\n"), Request("/ok", here));
        EXPECT_TRUE(end.Write("HTTP/1.0 200 OK\r\n\r\n" + kAnnounce));
    }
    EXPECT_EQ(Wait(), Reports{kOkReport});
}

}  // namespace
}  // namespace velbrook
