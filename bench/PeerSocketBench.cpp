// Two PeerSockets on the reactor moving 1 GiB of 16 KiB PIECE messages over 127.0.0.1, against a
// plain blocking send/recv pair moving the same bytes on the same machine in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "net/AsyncSocket.h"
#include "net/Reactor.h"
#include "peer/PeerConnection.h"
#include "peer/PeerSocket.h"
#include "peer/SocketRegistry.h"
#include "peer/Wire.h"
#include "storage/PieceManager.h"
#include "support/FakeTorrent.h"

namespace {

using namespace velbrook;

constexpr uint64_t kTotal = uint64_t{1} << 30;
constexpr uint32_t kSlice = 16384;

// One side's client and its torrent. Neither asks for anything: only the PIECE messages that the
// seeding side queues below move.
struct Side {
    Side(std::string id, bool seeds) : host(std::move(id)) {
        host.m_reserved = ReservedBytes(false);
        torrent.m_allowDownload = false;
        if (seeds) {
            torrent.m_pieces.SetAll(Have);
        }
    }
    test::FakePeerHost host;
    test::FakeTorrent torrent{host, int64_t{64} << 20, kSlice};
};

class Listener : public AsyncSocket {
public:
    explicit Listener(PeerHost& host) : m_host(host) {
        std::string address;
        if (!Create(0, kSocketAccept, "127.0.0.1") || !Listen(5) || !GetSockName(address, m_port)) {
            std::abort();
        }
    }
    uint16_t m_port = 0;
    PeerSocket* m_accepted = nullptr;

protected:
    void OnAccept(int) override {
        PeerSocket& socket = m_host.Registry().Create(m_host);
        if (Accept(socket)) {
            socket.Accepted();
            m_accepted = &socket;
        } else {
            m_host.Registry().Dispose(socket);
        }
    }

private:
    PeerHost& m_host;
};

double ReactorRun() {
    Reactor reactor;
    Side sender("-SS0001-ssssssssssss", true);
    Side receiver("-RR0001-rrrrrrrrrrrr", false);
    Listener listener(receiver.host);
    PeerConnection* target = sender.torrent.m_set.CreatePeer(receiver.host.m_id, "127.0.0.1",
                                                             listener.m_port, listener.m_port);
    PeerSocket* out = &sender.host.Registry().Create(sender.host);
    out->Connect(*target, test::kInfoHash, {});
    while (!target->IsConnected() || !listener.m_accepted ||
           listener.m_accepted->State() != PeerSocketState::Messages) {
        reactor.RunOnce(10);
    }
    PeerSocket* in = listener.m_accepted;
    const uint64_t start = in->BytesReceived();
    const std::string slice(kSlice, 'p');
    const uint64_t wire = kTotal / kSlice * (kSlice + 13);
    uint64_t queued = 0;
    uint32_t piece = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (in->BytesReceived() - start < wire) {
        while (queued < kTotal && out->UnsentBytes() < (size_t{1} << 20)) {
            if (!target->SendPiece(piece++ % 4096, 0, slice)) {
                std::abort();  // below 1 MiB unsent, the socket takes every slice
            }
            queued += kSlice;
        }
        reactor.RunOnce(10);
    }
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(t1 - t0).count();
}

double BlockingRun() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int server = ::accept(listener, nullptr, nullptr);
    const uint64_t wire = kTotal / kSlice * (kSlice + 13);
    const auto t0 = std::chrono::steady_clock::now();
    std::thread reader([&] {
        std::string buffer(30000, '\0');
        uint64_t got = 0;
        while (got < wire) {
            const ssize_t n = ::recv(server, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<uint64_t>(n);
        }
    });
    const std::string message(kSlice + 13, 'p');
    for (uint64_t sent = 0; sent < wire; sent += message.size()) {
        ::send(client, message.data(), message.size(), 0);
    }
    reader.join();
    const auto t1 = std::chrono::steady_clock::now();
    ::close(client);
    ::close(server);
    ::close(listener);
    return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main() {
    double reference = 1e9;
    double ours = 1e9;
    for (int i = 0; i < 3; ++i) {
        reference = std::min(reference, BlockingRun());
        ours = std::min(ours, ReactorRun());
    }
    const double mib = static_cast<double>(kTotal) / (1 << 20);
    std::printf("1 GiB of 16 KiB PIECE messages over 127.0.0.1, best of 3\n");
    std::printf("plain blocking send/recv: %.3f s  (%.0f MiB/s)\n", reference, mib / reference);
    std::printf("two PeerSockets on the reactor: %.3f s  (%.0f MiB/s)\n", ours, mib / ours);
    std::printf("ratio PeerSockets/plain throughput: %.2f (target at least 0.50)\n",
                reference / ours);
    return 0;
}
