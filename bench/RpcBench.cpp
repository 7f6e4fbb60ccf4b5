// torrent-get over 1 000 listed torrents with the fields `transmission-remote -l` asks for: the
// engine time one poll of a remote costs. The reference is serialising the same answer, already
// built, in the same run.
// Then 10 000 wrong logins sent to the server on 127.0.0.1: the CPU they cost the engine's
// process, against the reference of checking one password in the same run.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "Collector.h"

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "net/Reactor.h"
#include "rpc/RpcMethods.h"
#include "rpc/RpcPassword.h"
#include "rpc/RpcServer.h"
#include "support/EngineFakes.h"
#include "support/Loopback.h"
#include "support/MetainfoBuilder.h"
#include "support/TempDir.h"

namespace {

using namespace velbrook;

constexpr int kTorrents = 1000;
constexpr const char* kListRequest =
    R"({"arguments":{"fields":["error","errorString","eta","id","isFinished","leftUntilDone",)"
    R"("name","peersGettingFromUs","peersSendingToUs","rateDownload","rateUpload",)"
    R"("sizeWhenDone","status","uploadRatio"]},"method":"torrent-get","tag":4})";

// A document listing kTorrents stopped torrents (added to the list, never started).
struct Listed {
    Listed() {
        test::WriteAnyPortSettings(profile);
        doc = std::make_unique<CVelbrookDoc>(profile.Dir(), ui, reactor);
        for (int i = 0; i < kTorrents; ++i) {
            const std::string name = "t" + std::to_string(i);
            const std::string path = save / (name + ".torrent");
            test::WriteFile(path, test::Metainfo{.name = name, .length = 1 << 20}.Encode());
            doc->Downloads().AddNew(name, path);
        }
        rpc = std::make_unique<RpcMethods>(*doc, std::vector<std::string>{});
    }
    ~Listed() {
        rpc.reset();
        doc.reset();
    }
    Reactor reactor;
    test::TempDir profile;
    test::TempDir save;
    test::FakeUi ui;
    std::unique_ptr<CVelbrookDoc> doc;
    std::unique_ptr<RpcMethods> rpc;
};

Listed& World() {
    static Listed listed;
    return listed;
}

void BM_TorrentGetList(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(World().rpc->Handle(kListRequest));
    }
}
BENCHMARK(BM_TorrentGetList)->Unit(benchmark::kMillisecond);

double CpuMillis() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Sends `count` requests with a wrong password on one kept-alive connection, 100 at a time, and
// reads every answer while the server runs on the same loop. Returns the answers counted.
size_t SendBadLogins(Reactor& reactor, uint16_t port, int count) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = test::Loopback(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const std::string guess =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic YWxpY2U6d3Jvbmc=\r\n\r\n";
    size_t answers = 0;
    std::string pending;
    std::string received;
    char buffer[65536];
    for (int sent = 0; sent < count; sent += 100) {
        for (int i = 0; i < 100; ++i) {
            pending += guess;
        }
        const size_t expected = static_cast<size_t>(sent + 100);
        while (answers < expected) {
            if (!pending.empty()) {
                const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    pending.erase(0, static_cast<size_t>(n));
                }
            }
            reactor.RunOnce(10);
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
                received.append(buffer, static_cast<size_t>(n));
            }
            if (n == 0) {
                ::close(fd);
                return answers;  // the server closed the connection
            }
            // Each answer is a head and a short text: count the status lines, keeping a tail
            // that may hold the start of the next one.
            size_t at;
            while ((at = received.find("HTTP/1.1 ")) != std::string::npos) {
                ++answers;
                received.erase(0, at + 9);
            }
            if (received.size() > 8) {
                received.erase(0, received.size() - 8);
            }
        }
    }
    ::close(fd);
    return answers;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const std::string answer = World().rpc->Handle(kListRequest);
    const nlohmann::json built = nlohmann::json::parse(answer);
    const double get = velbrook::bench::BestMillis(
        [] { benchmark::DoNotOptimize(World().rpc->Handle(kListRequest)); });
    const double dump =
        velbrook::bench::BestMillis([&] { benchmark::DoNotOptimize(built.dump()); });
    std::printf("torrent-get of %zu torrents (-l fields): %zu bytes\n",
                World().doc->Downloads().Sessions().size(), answer.size());
    std::printf("torrent-get %.2f ms (budget 20 ms), reference dump of the built answer %.2f ms\n",
                get, dump);
    std::printf("ratio torrent-get/reference: %.2f\n", get / dump);

    const std::string stored = HashRpcPassword("secret");
    const double hashStart = CpuMillis();
    benchmark::DoNotOptimize(CheckRpcPassword(stored, "wrong"));
    const double oneHash = CpuMillis() - hashStart;
    RpcServer server(World().reactor, [](std::string_view) { return std::string("{}"); });
    RpcServerOptions options;
    options.port = 0;
    options.user = "alice";
    options.passwordHash = stored;
    std::string error;
    if (!server.Start(options, error)) {
        std::fprintf(stderr, "the server did not start: %s\n", error.c_str());
        return 1;
    }
    const double loginStart = CpuMillis();
    const size_t answered = SendBadLogins(World().reactor, server.Port(), 10000);
    const double logins = CpuMillis() - loginStart;
    std::printf("10000 wrong logins: %zu answered, %.0f ms CPU in all, %zu passwords checked\n",
                answered, logins, server.PasswordChecks());
    std::printf("reference: checking one password %.1f ms CPU; ratio logins/reference: %.1f\n",
                oneHash, logins / oneHash);
    server.Stop();
    benchmark::Shutdown();
    return 0;
}
