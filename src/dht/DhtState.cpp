#include "dht/DhtState.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "persist/DurableFile.h"

namespace velbrook {

namespace {

std::vector<DhtNodeEntry> ReadNodeList(const BencodeValue& top, std::string_view key,
                                       size_t addressSize) {
    std::vector<DhtNodeEntry> nodes;
    const BencodeValue* list = top.FindString(key);
    const size_t entry = kNodeIdSize + addressSize;
    if (!list || list->string.size() % entry != 0) {
        return nodes;
    }
    for (size_t at = 0; at < list->string.size(); at += entry) {
        DhtNodeEntry node;
        node.id = std::string(list->string.substr(at, kNodeIdSize));
        if (ReadCompactAddress(list->string.substr(at + kNodeIdSize, addressSize), node.address) &&
            node.address.Port() != 0) {
            nodes.push_back(std::move(node));
        }
    }
    return nodes;
}

void PutString(std::string& out, std::string_view text) {
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

}  // namespace

std::string EncodeDhtState(const DhtState& state) {
    std::string out = "d";
    PutString(out, "id");
    PutString(out, state.id);
    PutString(out, "nodes");
    PutString(out, CompactNodes(state.nodes, AF_INET));
    PutString(out, "nodes6");
    PutString(out, CompactNodes(state.nodes6, AF_INET6));
    out += 'e';
    return out;
}

bool DecodeDhtState(std::string_view bytes, DhtState& state) {
    state = DhtState{};
    if (bytes.size() > kMaxDhtStateFile) {
        return false;
    }
    BencodeValue top;
    if (DecodeBencode(bytes, 2, 64, top)) {
        const BencodeValue* id = top.FindString("id");
        if (!id || id->string.size() != kNodeIdSize) {
            return false;
        }
        state.id = std::string(id->string);
        state.nodes = ReadNodeList(top, "nodes", 6);
        state.nodes6 = ReadNodeList(top, "nodes6", 18);
        return true;
    }
    // The id is written first: a file cut or damaged after it still keeps the node's identity.
    constexpr std::string_view kIdKey = "d2:id20:";
    if (bytes.substr(0, kIdKey.size()) == kIdKey && bytes.size() >= kIdKey.size() + kNodeIdSize) {
        state.id = std::string(bytes.substr(kIdKey.size(), kNodeIdSize));
        return true;
    }
    return false;
}

bool ReadDhtState(const std::string& path, DhtState& state, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    std::string bytes;
    bytes.resize(kMaxDhtStateFile + 1);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (!DecodeDhtState(bytes, state)) {
        why = path + ": not a DHT state file";
        return false;
    }
    return true;
}

bool WriteDhtState(const std::string& path, const DhtState& state, std::string& why) {
    if (!ReplaceFile(path, EncodeDhtState(state))) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace velbrook
