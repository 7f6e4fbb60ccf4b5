#include "tracker/UdpTracker.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "net/UdpSocket.h"
#include "persist/PrintableText.h"

namespace velbrook {

namespace {

// Every number on this protocol's wire is big-endian.
void Put32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

void Put64(std::string& out, uint64_t value) {
    Put32(out, static_cast<uint32_t>(value >> 32));
    Put32(out, static_cast<uint32_t>(value));
}

void Put20(std::string& out, std::string_view bytes) {
    std::string field(bytes.substr(0, 20));
    field.resize(20, '\0');
    out += field;
}

uint32_t Get32(std::string_view bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

uint64_t Get64(std::string_view bytes, size_t at) {
    return uint64_t{Get32(bytes, at)} << 32 | Get32(bytes, at + 4);
}

// Counts are signed 32-bit on the wire; a negative one means nothing.
int32_t GetCount(std::string_view bytes, size_t at) {
    return std::max(static_cast<int32_t>(Get32(bytes, at)), 0);
}

constexpr size_t kHeader = 8;          // action, transaction id
constexpr size_t kConnectReply = 16;   // + connection id
constexpr size_t kAnnounceReply = 20;  // + interval, leechers, seeders
constexpr size_t kScrapeEntry = 12;    // seeders, completed, leechers

}  // namespace

std::string BuildUdpConnect(uint32_t transactionId) {
    std::string out;
    Put64(out, kUdpProtocolId);
    Put32(out, static_cast<uint32_t>(UdpAction::Connect));
    Put32(out, transactionId);
    return out;
}

std::string BuildUdpAnnounce(uint64_t connectionId, uint32_t transactionId,
                             const UdpAnnounce& request) {
    std::string out;
    out.reserve(98);
    Put64(out, connectionId);
    Put32(out, static_cast<uint32_t>(UdpAction::Announce));
    Put32(out, transactionId);
    Put20(out, request.infoHash);
    Put20(out, request.peerId);
    Put64(out, request.downloaded);
    Put64(out, request.left);
    Put64(out, request.uploaded);
    Put32(out, static_cast<uint32_t>(request.event));
    Put32(out, 0);  // our address: the tracker takes the one the datagram comes from
    Put32(out, request.key);
    Put32(out, 0xFFFFFFFF);  // as many peers as the tracker likes to give
    out += static_cast<char>(request.port >> 8);
    out += static_cast<char>(request.port & 0xFF);
    return out;
}

std::string BuildUdpScrape(uint64_t connectionId, uint32_t transactionId,
                           std::string_view infoHash) {
    std::string out;
    Put64(out, connectionId);
    Put32(out, static_cast<uint32_t>(UdpAction::Scrape));
    Put32(out, transactionId);
    Put20(out, infoHash);
    return out;
}

UdpReply ReadUdpReply(std::string_view datagram, bool ipv6) {
    UdpReply reply;
    if (datagram.size() < kHeader) {
        reply.refusal = "reply of " + std::to_string(datagram.size()) + " bytes";
        return reply;
    }
    reply.hasTransaction = true;
    reply.transactionId = Get32(datagram, 4);
    const uint32_t action = Get32(datagram, 0);
    switch (action) {
    case static_cast<uint32_t>(UdpAction::Connect):
        if (datagram.size() < kConnectReply) {
            reply.refusal = "connect reply of " + std::to_string(datagram.size()) + " bytes";
            break;
        }
        reply.connectionId = Get64(datagram, 8);
        break;
    case static_cast<uint32_t>(UdpAction::Announce): {
        if (datagram.size() < kAnnounceReply) {
            reply.refusal = "announce reply of " + std::to_string(datagram.size()) + " bytes";
            break;
        }
        TrackerAnswer& answer = reply.announce;
        answer.decoded = true;
        answer.hasInterval = true;
        answer.interval = static_cast<int32_t>(Get32(datagram, 8));
        answer.numPeers = GetCount(datagram, 12);
        answer.donePeers = GetCount(datagram, 16);
        ReadCompactPeers(datagram.substr(kAnnounceReply), ipv6, answer.peers);
        break;
    }
    case static_cast<uint32_t>(UdpAction::Scrape): {
        if (datagram.size() < kHeader + kScrapeEntry) {
            reply.refusal = "scrape reply of " + std::to_string(datagram.size()) + " bytes";
            break;
        }
        ScrapeAnswer& answer = reply.scrape;
        answer.decoded = true;
        answer.found = true;
        answer.complete = GetCount(datagram, 8);
        answer.downloaded = GetCount(datagram, 12);
        answer.incomplete = GetCount(datagram, 16);
        break;
    }
    case static_cast<uint32_t>(UdpAction::Error):
        reply.errorText = PrintableLine(datagram.substr(kHeader, kMaxUdpErrorText));
        break;
    default:
        reply.refusal = "reply with unknown action " + std::to_string(action);
        return reply;
    }
    reply.action = static_cast<UdpAction>(action);
    return reply;
}

bool ParseUdpTrackerUrl(std::string_view url, std::string& host, uint16_t& port) {
    constexpr std::string_view kScheme = "udp://";
    if (url.size() < kScheme.size()) {
        return false;
    }
    for (size_t i = 0; i < kScheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) {
            return false;
        }
    }
    std::string_view rest = url.substr(kScheme.size());
    rest = rest.substr(0, std::min(rest.find_first_of("/?#"), rest.size()));
    size_t colon;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return false;
        }
        host = std::string(rest.substr(1, close - 1));
        SocketAddress check;
        if (!SocketAddress::FromText(host, 0, check) || check.Family() != AF_INET6) {
            return false;
        }
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string_view::npos || colon == 0 ||
            rest.substr(0, colon).find(':') != std::string_view::npos) {
            return false;
        }
        host = std::string(rest.substr(0, colon));
    }
    const std::string_view digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    const unsigned value = static_cast<unsigned>(std::stoul(std::string(digits)));
    if (value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace velbrook
