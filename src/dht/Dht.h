// The distributed hash table as the engine sees it: where a torrent without a tracker (or with a
// dead one) asks for peers and says that it has the data, and where a peer's DHT port is handed
// on. The node behind it lives in this folder; the engine knows only this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velbrook {

// A peer some node named for an info hash: numeric address text (IPv4 or IPv6) and port.
struct DhtPeer {
    std::string address;
    uint16_t port = 0;
};

// A lookup under way. Destroying it stops its reports at once; the lookup itself may still
// finish quietly inside the node.
class DhtSearch {
public:
    virtual ~DhtSearch() = default;
};

class DhtLink {
public:
    using PeersFound = std::function<void(const std::vector<DhtPeer>& peers)>;
    using SearchDone = std::function<void()>;

    virtual ~DhtLink() = default;

    // Looks up the peers of `infoHash` (20 raw bytes) in every table the node keeps. `found` is
    // called on the loop with each batch of peers as answers arrive, and `done` once when the
    // lookup has ended; neither runs from inside this call, nor after the handle is destroyed.
    // When `announcePort` is not 0 the lookup ends by announcing us at that port to the closest
    // nodes that gave a token.
    [[nodiscard]] virtual std::unique_ptr<DhtSearch> FindPeers(std::string_view infoHash,
                                                               uint16_t announcePort,
                                                               PeersFound found,
                                                               SearchDone done = {}) = 0;
    // A peer's DHT port message named a node: it is pinged, and added to the table when it
    // answers. Bad or unroutable addresses are ignored.
    virtual void AddNode(const std::string& address, uint16_t port) = 0;
    // Good and questionable nodes in the routing tables of both families.
    virtual size_t NodeCount() const = 0;
};

}  // namespace velbrook
