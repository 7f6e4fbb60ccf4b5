// What the peer and tracker proxy tests cannot reach: replies carrying a bound name or an unknown
// address type, and requests that cannot be built.
#include "net/Socks5.h"

#include <gtest/gtest.h>

#include <string>

namespace velbrook {
namespace {

TEST(Socks5, ConnectReplyIsWholeOnlyWithItsBoundAddress) {
    const std::string name = std::string("\x05\x00\x00\x03\x04", 5) + "host" + "\x1a\xe1";
    const std::string ipv4 = std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x1a\xe1", 10);
    for (const std::string& reply : {name, ipv4}) {
        for (size_t size = 0; size < reply.size(); ++size)
            EXPECT_EQ(ParseSocks5ConnectReply(reply.substr(0, size)).status, Socks5Status::NeedMore)
                << size;
        const Socks5Reply whole = ParseSocks5ConnectReply(reply + "peer data");
        EXPECT_EQ(whole.status, Socks5Status::Accepted);
        EXPECT_EQ(whole.length, reply.size());
    }
    EXPECT_EQ(ParseSocks5ConnectReply(std::string("\x05\x00\x00\x02", 4)).status,
              Socks5Status::Malformed);
    const Socks5Reply wrongVersion = ParseSocks5ConnectReply(std::string("\x04\x00", 2));
    EXPECT_EQ(wrongVersion.status, Socks5Status::Refused);
    EXPECT_EQ(wrongVersion.code, 0);
}

TEST(Socks5, RequestsTheWireCannotCarryAreNotBuilt) {
    std::string out;
    EXPECT_FALSE(BuildSocks5ConnectName(std::string(256, 'h'), 80, out));
    EXPECT_FALSE(BuildSocks5ConnectName("", 80, out));
    for (const char* address : {"tracker.example", "1.2.3", "1.2.3.4 ", "::1"})
        EXPECT_FALSE(BuildSocks5ConnectIPv4(address, 80, out)) << address;
    EXPECT_FALSE(BuildSocks5ConnectIPv4(std::string("1.2.3.4\0x", 9), 80, out));
    ASSERT_TRUE(BuildSocks5ConnectIPv4("10.0.0.2", 6881, out));
    EXPECT_EQ(out, std::string("\x05\x01\x00\x01\x0a\x00\x00\x02\x1a\xe1", 10));
}

}  // namespace
}  // namespace velbrook
