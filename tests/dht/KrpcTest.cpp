#include "dht/Krpc.h"

#include <gtest/gtest.h>

#include "dht/DhtState.h"

using namespace velbrook;

namespace {

const std::string kId(20, 'A');
const std::string kHash(20, 'H');

SocketAddress At(const std::string& text, uint16_t port) {
    SocketAddress address;
    EXPECT_TRUE(SocketAddress::FromText(text, port, address));
    return address;
}

KrpcMessage Decoded(const std::string& datagram) {
    KrpcMessage message;
    std::string why;
    EXPECT_TRUE(DecodeKrpc(datagram, message, why)) << why;
    return message;
}

std::string Refusal(const std::string& datagram) {
    KrpcMessage message;
    std::string why;
    EXPECT_FALSE(DecodeKrpc(datagram, message, why));
    return why;
}

}  // namespace

TEST(Krpc, QueriesRoundTripWithTheirArgumentsInKeyOrder) {
    KrpcQuery announce;
    announce.transaction = "tx";
    announce.method = KrpcMethod::AnnouncePeer;
    announce.id = kId;
    announce.infoHash = kHash;
    announce.port = 6881;
    announce.impliedPort = true;
    announce.token = "secret";
    EXPECT_EQ(EncodeQuery(announce), "d1:ad2:id20:" + kId +
                                         "12:implied_porti1e9:info_hash20:" + kHash +
                                         "4:porti6881e5:token6:secrete1:q13:announce_peer"
                                         "1:t2:tx1:y1:qe");
    const KrpcMessage read = Decoded(EncodeQuery(announce));
    EXPECT_EQ(read.method, KrpcMethod::AnnouncePeer);
    EXPECT_EQ(read.infoHash, kHash);
    EXPECT_EQ(read.port, 6881);
    EXPECT_TRUE(read.impliedPort);
    EXPECT_EQ(read.token, "secret");

    KrpcQuery find;
    find.transaction = "t2";
    find.method = KrpcMethod::FindNode;
    find.id = kId;
    find.target = kHash;
    find.wantV6 = true;
    const KrpcMessage found = Decoded(EncodeQuery(find));
    EXPECT_EQ(found.target, kHash);
    EXPECT_FALSE(found.wantsV4);
    EXPECT_TRUE(found.wantsV6);

    const KrpcMessage unknown = Decoded("d1:ad2:id20:" + kId + "e1:q4:vote1:t1:x1:y1:qe");
    EXPECT_EQ(unknown.method, KrpcMethod::Unknown);
    EXPECT_EQ(unknown.methodName, "vote");
}

TEST(Krpc, AnswersCarryNodesOfBothFamiliesAndPeers) {
    KrpcResponse response;
    response.transaction = "aa";
    response.id = kId;
    response.hasNodes = true;
    response.nodes = {{std::string(20, 'n'), At("127.0.0.1", 7000)}};
    response.hasNodes6 = true;
    response.nodes6 = {{std::string(20, 'm'), At("::1", 7001)},
                       {std::string(20, 'x'), At("::ffff:127.0.0.1", 7002)}};
    response.token = "tok";
    response.values = {At("10.0.0.1", 80), At("::1", 81)};
    const KrpcMessage read = Decoded(EncodeResponse(response));
    EXPECT_EQ(read.kind, KrpcKind::Response);
    ASSERT_EQ(read.nodes.size(), 1u);
    EXPECT_EQ(read.nodes[0].address.Text(), "127.0.0.1:7000");
    ASSERT_EQ(read.nodes6.size(), 1u);
    EXPECT_EQ(read.nodes6[0].address.Text(), "[::1]:7001");
    EXPECT_EQ(read.nodes6[0].id, std::string(20, 'm'));
    EXPECT_EQ(read.token, "tok");
    ASSERT_EQ(read.values.size(), 2u);
    EXPECT_EQ(read.values[1].address, "::1");
    EXPECT_EQ(read.values[1].port, 81);

    const KrpcMessage error = Decoded(EncodeError("aa", 203, "Bad\ntoken"));
    EXPECT_EQ(error.kind, KrpcKind::Error);
    EXPECT_EQ(error.errorCode, 203);
    EXPECT_EQ(error.errorText, "Bad?token");
}

TEST(Krpc, BoundsAndMalformedInputAreRefusedWithAReason) {
    // A hundred values are read, the rest ignored.
    std::string values;
    for (int i = 0; i < 150; ++i) {
        values +=
            "6:" + std::string{10, 0, 0, static_cast<char>(i), 0x1A, static_cast<char>(i + 1)};
    }
    const KrpcMessage many =
        Decoded("d1:rd2:id20:" + kId + "6:valuesl" + values + "ee1:t1:a1:y1:re");
    EXPECT_EQ(many.values.size(), kMaxKrpcValues);

    const std::string ping = "d1:ad2:id20:" + kId + "e1:q4:ping1:t2:aa1:y1:qe";
    EXPECT_FALSE(Refusal(ping.substr(0, ping.size() - 1)).empty());
    EXPECT_FALSE(Refusal("d1:ad2:id3:abce1:q4:ping1:t2:aa1:y1:qe").empty());
    EXPECT_FALSE(
        Refusal("d1:a" + std::string(40, 'l') + std::string(40, 'e') + "1:t1:a1:y1:qe").empty());
    EXPECT_FALSE(Refusal("d1:t99999999999:aae").empty());
    EXPECT_FALSE(Refusal("d1:ad2:id20:" + kId + "1:pi-0ee1:q4:ping1:t1:a1:y1:qe").empty());
    EXPECT_FALSE(
        Refusal("d1:ad2:id20:" + kId + "1:pi99999999999999999999ee1:q4:ping1:t1:a1:y1:qe").empty());
    EXPECT_FALSE(Refusal("d1:ad2:id20:" + kId + "3:pad1600:" + std::string(1600, 'x') +
                         "e1:q4:ping1:t2:aa1:y1:qe")
                     .empty());
    EXPECT_FALSE(Refusal("d1:ad2:id20:" + kId + "9:info_hash20:" + kHash +
                         "5:token1:xe1:q13:announce_peer1:t1:a1:y1:qe")
                     .empty());
}

TEST(DhtStateFile, ADamagedNodeListKeepsTheId) {
    DhtState state;
    state.id = kId;
    state.nodes = {{std::string(20, 'n'), At("127.0.0.1", 7000)}};
    state.nodes6 = {{std::string(20, 'm'), At("::1", 7001)}};
    const std::string bytes = EncodeDhtState(state);
    DhtState read;
    ASSERT_TRUE(DecodeDhtState(bytes, read));
    EXPECT_EQ(read.id, kId);
    ASSERT_EQ(read.nodes.size(), 1u);
    EXPECT_EQ(read.nodes6.size(), 1u);
    // Cut inside the node list: the id survives, the nodes do not.
    ASSERT_TRUE(DecodeDhtState(bytes.substr(0, 45), read));
    EXPECT_EQ(read.id, kId);
    EXPECT_TRUE(read.nodes.empty());
    EXPECT_FALSE(DecodeDhtState("d2:id3:abce", read));
    EXPECT_FALSE(DecodeDhtState("garbage", read));
}
