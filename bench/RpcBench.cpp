// torrent-get over 1 000 listed torrents with the fields `transmission-remote -l` asks for: the
// engine time one poll of a remote costs. The reference is serialising the same answer, already
// built, in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "net/Reactor.h"
#include "rpc/RpcMethods.h"
#include "support/EngineFakes.h"
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

template <typename F>
double BestMillis(F&& f) {
    double best = 1e30;
    for (int i = 0; i < 15; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const std::string answer = World().rpc->Handle(kListRequest);
    const nlohmann::json built = nlohmann::json::parse(answer);
    const double get =
        BestMillis([] { benchmark::DoNotOptimize(World().rpc->Handle(kListRequest)); });
    const double dump = BestMillis([&] { benchmark::DoNotOptimize(built.dump()); });
    std::printf("torrent-get of %zu torrents (-l fields): %zu bytes\n",
                World().doc->Downloads().Sessions().size(), answer.size());
    std::printf("torrent-get %.2f ms (budget 20 ms), reference dump of the built answer %.2f ms\n",
                get, dump);
    std::printf("ratio torrent-get/reference: %.2f\n", get / dump);
    benchmark::Shutdown();
    return 0;
}
