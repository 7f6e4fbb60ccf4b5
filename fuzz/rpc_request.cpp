// Fuzz target: one remote-control request body, handled by the methods over a document that
// lists a couple of torrents (put back whenever a request removed them).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "net/Reactor.h"
#include "rpc/RpcMethods.h"
#include "support/EngineFakes.h"
#include "support/ManualClock.h"
#include "support/MetainfoBuilder.h"
#include "support/TempDir.h"

namespace {

using namespace velbrook;

struct World {
    World() {
        test::WriteAnyPortSettings(profile, "<DefaultDownloadPath type=\"string\" value=\"" +
                                                save / "data" + "\"/>");
        test::WriteFile(save / "in/a.torrent", test::Metainfo{.name = "a.bin"}.Encode());
        test::WriteFile(
            save / "in/b.torrent",
            test::Metainfo{.name = "b", .files = {{5, {"x"}}, {7, {"y", "z"}}}}.Encode());
        ui.m_folder = save / "data/";
        doc = std::make_unique<CVelbrookDoc>(profile.Dir(), ui, clock);
    }
    void Refill() {
        if (doc->Downloads().Sessions().size() < 2) {
            doc->OpenTorrentFile(save / "in/a.torrent", save / "data");
            doc->OpenTorrentFile(save / "in/b.torrent", save / "data");
        }
    }

    test::ManualClock clock;
    Reactor reactor;
    test::TempDir profile;
    test::TempDir save;
    test::TempDir root;
    test::FakeUi ui;
    std::unique_ptr<CVelbrookDoc> doc;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World* world = new World;  // lives for the whole run, as the process's engine does
    world->Refill();
    RpcMethods methods(*world->doc, {world->root / "x"});
    const std::string answer =
        methods.Handle(std::string_view(reinterpret_cast<const char*>(data), size));
    if (answer.empty() || answer.front() != '{') {
        __builtin_trap();
    }
    return 0;
}
