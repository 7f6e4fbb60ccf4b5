// Fuzz target: arbitrary bytes as a DHT datagram.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dht/Krpc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velbrook;
    const std::string_view datagram(reinterpret_cast<const char*>(data), size);
    KrpcMessage message;
    std::string why;
    if (!DecodeKrpc(datagram, message, why)) {
        if (why.empty()) {
            std::abort();  // a refusal always says why
        }
        return 0;
    }
    if (size > kMaxKrpcDatagram || message.values.size() > kMaxKrpcValues ||
        message.nodes.size() > kMaxKrpcNodes || message.nodes6.size() > kMaxKrpcNodes ||
        message.transaction.size() > kMaxKrpcTransaction ||
        (message.kind != KrpcKind::Error && message.id.size() != kNodeIdSize)) {
        std::abort();
    }
    for (const DhtPeer& peer : message.values) {
        if (peer.port == 0 || peer.address.empty()) {
            std::abort();
        }
    }
    // A query we understood says the same after we write it out again.
    if (message.kind == KrpcKind::Query && message.method != KrpcMethod::Unknown &&
        message.port <= 65535) {
        KrpcQuery query;
        query.transaction = message.transaction;
        query.method = message.method;
        query.id = message.id;
        query.target = message.target;
        query.infoHash = message.infoHash;
        query.port = static_cast<uint16_t>(message.port);
        query.impliedPort = message.impliedPort;
        query.token = message.token;
        query.wantV4 = message.wantsV4;
        query.wantV6 = message.wantsV6;
        KrpcMessage again;
        if (!DecodeKrpc(EncodeQuery(query), again, why) || again.method != message.method ||
            again.id != message.id || again.target != message.target ||
            again.infoHash != message.infoHash || again.token != message.token ||
            again.transaction != message.transaction) {
            std::abort();
        }
    }
    return 0;
}
