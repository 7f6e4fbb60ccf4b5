#include "dht/Krpc.h"

#include <algorithm>
#include <cstring>

namespace velbrook {

namespace {

// A KRPC message nests three deep (message, arguments, values); a little room for others'
// extension keys, no more.
constexpr int kMaxDepth = 6;
// Elements of one datagram: 100 values and a handful of keys fit many times over.
constexpr size_t kMaxElements = 400;

class Reader {
public:
    Reader(std::string_view input, int maxDepth, size_t maxElements)
        : m_input(input), m_maxDepth(maxDepth), m_left(maxElements) {}

    bool Value(BencodeValue& out, int depth) {
        if (depth > m_maxDepth || m_left == 0 || m_pos >= m_input.size()) {
            return false;
        }
        --m_left;
        const char c = m_input[m_pos];
        if (c == 'i') {
            out.type = BencodeValue::Type::Integer;
            return Integer(out.integer);
        }
        if (c >= '0' && c <= '9') {
            out.type = BencodeValue::Type::String;
            return String(out.string);
        }
        if (c == 'l') {
            out.type = BencodeValue::Type::List;
            ++m_pos;
            while (m_pos < m_input.size() && m_input[m_pos] != 'e') {
                out.list.emplace_back();
                if (!Value(out.list.back(), depth + 1)) {
                    return false;
                }
            }
            return Close();
        }
        if (c == 'd') {
            out.type = BencodeValue::Type::Dict;
            ++m_pos;
            while (m_pos < m_input.size() && m_input[m_pos] != 'e') {
                std::string_view key;
                if (m_left == 0 || !String(key)) {
                    return false;
                }
                --m_left;
                out.keys.push_back(key);
                out.list.emplace_back();
                if (!Value(out.list.back(), depth + 1)) {
                    return false;
                }
            }
            return Close();
        }
        return false;
    }

    bool AtEnd() const { return m_pos == m_input.size(); }

private:
    bool Close() {
        if (m_pos >= m_input.size()) {
            return false;
        }
        ++m_pos;  // the 'e'
        return true;
    }

    bool Integer(int64_t& out) {
        ++m_pos;  // the 'i'
        const size_t end = m_input.find('e', m_pos);
        if (end == std::string_view::npos || end == m_pos || end - m_pos > 20) {
            return false;
        }
        std::string_view digits = m_input.substr(m_pos, end - m_pos);
        const bool negative = digits[0] == '-';
        if (negative) {
            digits.remove_prefix(1);
        }
        if (digits.empty() || (digits[0] == '0' && (digits.size() > 1 || negative))) {
            return false;
        }
        uint64_t value = 0;
        for (const char d : digits) {
            if (d < '0' || d > '9' || value > (uint64_t{1} << 62) / 5) {
                return false;
            }
            value = value * 10 + static_cast<uint64_t>(d - '0');
        }
        if (value > static_cast<uint64_t>(INT64_MAX)) {
            return false;
        }
        out = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
        m_pos = end + 1;
        return true;
    }

    bool String(std::string_view& out) {
        size_t length = 0;
        size_t digits = 0;
        while (m_pos < m_input.size() && m_input[m_pos] >= '0' && m_input[m_pos] <= '9') {
            if (++digits > 7) {
                return false;
            }
            length = length * 10 + static_cast<size_t>(m_input[m_pos] - '0');
            ++m_pos;
        }
        if (digits == 0 || m_pos >= m_input.size() || m_input[m_pos] != ':') {
            return false;
        }
        ++m_pos;
        if (length > m_input.size() - m_pos) {
            return false;
        }
        out = m_input.substr(m_pos, length);
        m_pos += length;
        return true;
    }

    std::string_view m_input;
    size_t m_pos = 0;
    int m_maxDepth;
    size_t m_left;
};

void PutString(std::string& out, std::string_view text) {
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

void PutInteger(std::string& out, int64_t value) {
    out += 'i';
    out += std::to_string(value);
    out += 'e';
}

void PutKey(std::string& out, std::string_view key, std::string_view value) {
    PutString(out, key);
    PutString(out, value);
}

std::vector<DhtNodeEntry> ReadNodes(std::string_view bytes, size_t addressSize) {
    std::vector<DhtNodeEntry> nodes;
    const size_t entry = kNodeIdSize + addressSize;
    for (size_t at = 0; at + entry <= bytes.size() && nodes.size() < kMaxKrpcNodes; at += entry) {
        DhtNodeEntry node;
        node.id = std::string(bytes.substr(at, kNodeIdSize));
        // A mapped IPv4 address cannot be reached on our v6-only socket.
        if (ReadCompactAddress(bytes.substr(at + kNodeIdSize, addressSize), node.address) &&
            node.address.Port() != 0 &&
            !(addressSize == 18 &&
              IN6_IS_ADDR_V4MAPPED(
                  &reinterpret_cast<const sockaddr_in6*>(&node.address.storage)->sin6_addr))) {
            nodes.push_back(std::move(node));
        }
    }
    return nodes;
}

KrpcMethod MethodOf(std::string_view name) {
    if (name == "ping") {
        return KrpcMethod::Ping;
    }
    if (name == "find_node") {
        return KrpcMethod::FindNode;
    }
    if (name == "get_peers") {
        return KrpcMethod::GetPeers;
    }
    if (name == "announce_peer") {
        return KrpcMethod::AnnouncePeer;
    }
    return KrpcMethod::Unknown;
}

const char* MethodName(KrpcMethod method) {
    switch (method) {
    case KrpcMethod::Ping:
        return "ping";
    case KrpcMethod::FindNode:
        return "find_node";
    case KrpcMethod::GetPeers:
        return "get_peers";
    case KrpcMethod::AnnouncePeer:
        return "announce_peer";
    case KrpcMethod::Unknown:
        break;
    }
    return "ping";
}

bool Fail(std::string& why, const char* reason) {
    why = reason;
    return false;
}

bool ReadId(const BencodeValue& args, std::string& id) {
    const BencodeValue* value = args.FindString("id");
    if (!value || value->string.size() != kNodeIdSize) {
        return false;
    }
    id = std::string(value->string);
    return true;
}

bool ReadQuery(const BencodeValue& top, KrpcMessage& out, std::string& why) {
    const BencodeValue* q = top.FindString("q");
    const BencodeValue* a = top.Find("a");
    if (!q || !a || a->type != BencodeValue::Type::Dict) {
        return Fail(why, "query without method or arguments");
    }
    out.methodName = std::string(q->string.substr(0, 32));
    out.method = MethodOf(q->string);
    if (!ReadId(*a, out.id)) {
        return Fail(why, "query without a 20-byte id");
    }
    if (const BencodeValue* want = a->Find("want");
        want && want->type == BencodeValue::Type::List) {
        for (const BencodeValue& item : want->list) {
            if (item.type == BencodeValue::Type::String) {
                out.wantsV4 = out.wantsV4 || item.string == "n4";
                out.wantsV6 = out.wantsV6 || item.string == "n6";
            }
        }
    }
    switch (out.method) {
    case KrpcMethod::FindNode: {
        const BencodeValue* target = a->FindString("target");
        if (!target || target->string.size() != kNodeIdSize) {
            return Fail(why, "find_node without a 20-byte target");
        }
        out.target = std::string(target->string);
        break;
    }
    case KrpcMethod::GetPeers:
    case KrpcMethod::AnnouncePeer: {
        const BencodeValue* hash = a->FindString("info_hash");
        if (!hash || hash->string.size() != kNodeIdSize) {
            return Fail(why, "query without a 20-byte info_hash");
        }
        out.infoHash = std::string(hash->string);
        if (out.method == KrpcMethod::GetPeers) {
            break;
        }
        const BencodeValue* implied = a->FindInteger("implied_port");
        out.impliedPort = implied && implied->integer != 0;
        const BencodeValue* port = a->FindInteger("port");
        if (port && port->integer >= 0 && port->integer <= 65535) {
            out.port = port->integer;
        } else if (!out.impliedPort) {
            return Fail(why, "announce_peer without a port");
        }
        const BencodeValue* token = a->FindString("token");
        if (!token || token->string.size() > 64) {
            return Fail(why, "announce_peer without a token");
        }
        out.token = std::string(token->string);
        break;
    }
    case KrpcMethod::Ping:
    case KrpcMethod::Unknown:
        break;
    }
    return true;
}

bool ReadResponse(const BencodeValue& top, KrpcMessage& out, std::string& why) {
    const BencodeValue* r = top.Find("r");
    if (!r || r->type != BencodeValue::Type::Dict) {
        return Fail(why, "answer without a dictionary");
    }
    if (!ReadId(*r, out.id)) {
        return Fail(why, "answer without a 20-byte id");
    }
    if (const BencodeValue* nodes = r->FindString("nodes")) {
        out.nodes = ReadNodes(nodes->string, 6);
    }
    if (const BencodeValue* nodes6 = r->FindString("nodes6")) {
        out.nodes6 = ReadNodes(nodes6->string, 18);
    }
    if (const BencodeValue* token = r->FindString("token"); token && token->string.size() <= 64) {
        out.token = std::string(token->string);
    }
    if (const BencodeValue* values = r->Find("values");
        values && values->type == BencodeValue::Type::List) {
        for (const BencodeValue& item : values->list) {
            if (out.values.size() >= kMaxKrpcValues) {
                break;
            }
            SocketAddress peer;
            if (item.type == BencodeValue::Type::String && ReadCompactAddress(item.string, peer) &&
                peer.Port() != 0) {
                out.values.push_back(DhtPeer{peer.AddressText(), peer.Port()});
            }
        }
    }
    return true;
}

bool ReadError(const BencodeValue& top, KrpcMessage& out, std::string& why) {
    const BencodeValue* e = top.Find("e");
    if (!e || e->type != BencodeValue::Type::List || e->list.size() < 2 ||
        e->list[0].type != BencodeValue::Type::Integer ||
        e->list[1].type != BencodeValue::Type::String) {
        return Fail(why, "error without code and text");
    }
    out.errorCode = e->list[0].integer;
    for (const char c : e->list[1].string.substr(0, 128)) {
        // Printable only: the text may reach a log.
        out.errorText += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    }
    return true;
}

}  // namespace

const BencodeValue* BencodeValue::Find(std::string_view key) const {
    if (type != Type::Dict) {
        return nullptr;
    }
    for (size_t i = 0; i < keys.size() && i < list.size(); ++i) {
        if (keys[i] == key) {
            return &list[i];
        }
    }
    return nullptr;
}

const BencodeValue* BencodeValue::FindString(std::string_view key) const {
    const BencodeValue* value = Find(key);
    return value && value->type == Type::String ? value : nullptr;
}

const BencodeValue* BencodeValue::FindInteger(std::string_view key) const {
    const BencodeValue* value = Find(key);
    return value && value->type == Type::Integer ? value : nullptr;
}

bool DecodeBencode(std::string_view input, int maxDepth, size_t maxElements, BencodeValue& out) {
    out = BencodeValue{};
    Reader reader(input, maxDepth, maxElements);
    return reader.Value(out, 0) && reader.AtEnd();
}

bool DecodeKrpc(std::string_view datagram, KrpcMessage& out, std::string& why) {
    out = KrpcMessage{};
    if (datagram.size() > kMaxKrpcDatagram) {
        return Fail(why, "datagram too large");
    }
    BencodeValue top;
    // Some nodes pad or append after the message; only the first value counts.
    Reader reader(datagram, kMaxDepth, kMaxElements);
    if (!reader.Value(top, 0) || top.type != BencodeValue::Type::Dict) {
        return Fail(why, "not a bencoded dictionary");
    }
    const BencodeValue* t = top.FindString("t");
    const BencodeValue* y = top.FindString("y");
    if (!t || t->string.size() > kMaxKrpcTransaction) {
        return Fail(why, "no transaction id");
    }
    if (!y || y->string.size() != 1) {
        return Fail(why, "no message type");
    }
    out.transaction = std::string(t->string);
    switch (y->string[0]) {
    case 'q':
        out.kind = KrpcKind::Query;
        return ReadQuery(top, out, why);
    case 'r':
        out.kind = KrpcKind::Response;
        return ReadResponse(top, out, why);
    case 'e':
        out.kind = KrpcKind::Error;
        return ReadError(top, out, why);
    default:
        return Fail(why, "unknown message type");
    }
}

std::string CompactAddress(const SocketAddress& address) {
    std::string out;
    if (address.Family() == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address.storage);
        out.append(reinterpret_cast<const char*>(&in->sin_addr), 4);
        out.append(reinterpret_cast<const char*>(&in->sin_port), 2);
    } else if (address.Family() == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address.storage);
        out.append(reinterpret_cast<const char*>(&in6->sin6_addr), 16);
        out.append(reinterpret_cast<const char*>(&in6->sin6_port), 2);
    }
    return out;
}

bool ReadCompactAddress(std::string_view bytes, SocketAddress& out) {
    out = {};
    if (bytes.size() == 6) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_addr, bytes.data(), 4);
        std::memcpy(&in.sin_port, bytes.data() + 4, 2);
        std::memcpy(&out.storage, &in, sizeof in);
        out.length = sizeof in;
        return true;
    }
    if (bytes.size() == 18) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        std::memcpy(&in6.sin6_addr, bytes.data(), 16);
        std::memcpy(&in6.sin6_port, bytes.data() + 16, 2);
        std::memcpy(&out.storage, &in6, sizeof in6);
        out.length = sizeof in6;
        return true;
    }
    return false;
}

std::string CompactNodes(const std::vector<DhtNodeEntry>& nodes, int family) {
    std::string out;
    for (const DhtNodeEntry& node : nodes) {
        if (node.address.Family() == family && node.id.size() == kNodeIdSize) {
            out += node.id;
            out += CompactAddress(node.address);
        }
    }
    return out;
}

std::string EncodeQuery(const KrpcQuery& query) {
    std::string out = "d1:ad";
    PutKey(out, "id", query.id);
    if (query.method == KrpcMethod::AnnouncePeer && query.impliedPort) {
        PutString(out, "implied_port");
        PutInteger(out, 1);
    }
    if (query.method == KrpcMethod::GetPeers || query.method == KrpcMethod::AnnouncePeer) {
        PutKey(out, "info_hash", query.infoHash);
    }
    if (query.method == KrpcMethod::AnnouncePeer) {
        PutString(out, "port");
        PutInteger(out, query.port);
    }
    if (query.method == KrpcMethod::FindNode) {
        PutKey(out, "target", query.target);
    }
    if (query.method == KrpcMethod::AnnouncePeer) {
        PutKey(out, "token", query.token);
    }
    if ((query.wantV4 || query.wantV6) &&
        (query.method == KrpcMethod::FindNode || query.method == KrpcMethod::GetPeers)) {
        PutString(out, "want");
        out += 'l';
        if (query.wantV4) {
            PutString(out, "n4");
        }
        if (query.wantV6) {
            PutString(out, "n6");
        }
        out += 'e';
    }
    out += 'e';
    PutKey(out, "q", MethodName(query.method));
    PutKey(out, "t", query.transaction);
    PutKey(out, "y", "q");
    out += 'e';
    return out;
}

std::string EncodeResponse(const KrpcResponse& response) {
    std::string out = "d1:rd";
    PutKey(out, "id", response.id);
    if (response.hasNodes) {
        PutKey(out, "nodes", CompactNodes(response.nodes, AF_INET));
    }
    if (response.hasNodes6) {
        PutKey(out, "nodes6", CompactNodes(response.nodes6, AF_INET6));
    }
    if (!response.token.empty()) {
        PutKey(out, "token", response.token);
    }
    if (!response.values.empty()) {
        PutString(out, "values");
        out += 'l';
        for (const SocketAddress& peer : response.values) {
            PutString(out, CompactAddress(peer));
        }
        out += 'e';
    }
    out += 'e';
    PutKey(out, "t", response.transaction);
    PutKey(out, "y", "r");
    out += 'e';
    return out;
}

std::string EncodeError(std::string_view transaction, int code, std::string_view text) {
    std::string out = "d1:eli";
    out += std::to_string(code);
    out += 'e';
    PutString(out, text);
    out += 'e';
    PutKey(out, "t", transaction);
    PutKey(out, "y", "e");
    out += 'e';
    return out;
}

}  // namespace velbrook
