// Fuzz target: one remote-control request body, handled by the methods over a document that
// lists a couple of torrents (put back whenever a request removed them).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "net/Reactor.h"
#include "rpc/RpcMethods.h"
#include "rpc/RpcRequest.h"
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

// A request that names a URL or a magnet link could make the engine reach another machine (a
// URL's host, a link's trackers and peers): those are left to the unit tests on 127.0.0.1. The
// text is looked at as JSON writes it back, after escapes such as "\/" have been undone.
bool MayReachOut(std::string_view body) {
    if (!velbrook::JsonDepthWithin(body, velbrook::kMaxRequestDepth)) {
        return false;  // refused unread
    }
    const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded()) {
        return false;
    }
    std::string text = parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text.find("://") != std::string::npos || text.find("magnet:") != std::string::npos;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    if (MayReachOut(body)) {
        return 0;
    }
    static World* world = new World;  // lives for the whole run, as the process's engine does
    world->Refill();
    RpcMethods methods(*world->doc, {world->root / "x"});
    const std::string answer = methods.Handle(body);
    if (answer.empty() || answer.front() != '{') {
        __builtin_trap();
    }
    return 0;
}
