// The UDP tracker protocol's datagrams: the requests we send and the replies we read. Pure, so
// that they can be tested and fuzzed on their own; UdpTrackerService does the talking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tracker/TrackerAnswer.h"

namespace velbrook {

// The actions, in requests and replies alike.
enum class UdpAction : uint32_t { Connect = 0, Announce = 1, Scrape = 2, Error = 3 };

// The event numbers of this protocol, which differ from the HTTP announce's order.
enum class UdpEvent : uint32_t { None = 0, Completed = 1, Started = 2, Stopped = 3 };

struct UdpAnnounce {
    std::string infoHash;  // 20 bytes
    std::string peerId;    // 20 bytes
    uint64_t downloaded = 0;
    uint64_t left = 0;
    uint64_t uploaded = 0;
    UdpEvent event = UdpEvent::None;
    uint32_t key = 0;  // lets the tracker know us again when our address changes
    uint16_t port = 0;
};

// The magic number a connect request begins with.
constexpr uint64_t kUdpProtocolId = 0x41727101980;

// A tracker's error text is cut at this many bytes before it is made printable.
constexpr size_t kMaxUdpErrorText = 256;

// 16 bytes.
std::string BuildUdpConnect(uint32_t transactionId);
// 98 bytes; a hash or peer id of the wrong length is cut or padded with zeros to 20.
std::string BuildUdpAnnounce(uint64_t connectionId, uint32_t transactionId,
                             const UdpAnnounce& request);
// 36 bytes: one torrent.
std::string BuildUdpScrape(uint64_t connectionId, uint32_t transactionId,
                           std::string_view infoHash);

struct UdpReply {
    // Why the datagram cannot be read as a reply; empty when it can.
    std::string refusal;
    // The first eight bytes, read whenever there are that many, so that a reply that fails to
    // read can still be matched to its request.
    bool hasTransaction = false;
    UdpAction action = UdpAction::Connect;
    uint32_t transactionId = 0;
    uint64_t connectionId = 0;  // Connect
    TrackerAnswer announce;     // Announce: interval, seeders, leechers, peers
    ScrapeAnswer scrape;        // Scrape: the first torrent's counts
    std::string errorText;      // Error: printable, at most kMaxUdpErrorText bytes before that
};

// Any datagram from a tracker. `ipv6` says which socket it came in on: an announce reply there
// lists peers in 18 bytes (16 of address, 2 of port) instead of 6. Never trusts a length.
[[nodiscard]] UdpReply ReadUdpReply(std::string_view datagram, bool ipv6);

// udp://host:port with anything after a "/" (which is ignored); an IPv6 address in brackets. The
// port must be 1..65535. False for anything else.
[[nodiscard]] bool ParseUdpTrackerUrl(std::string_view url, std::string& host, uint16_t& port);

}  // namespace velbrook
