#include "rpc/RpcMethods.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/CVelbrookDoc.h"
#include "engine/DownloadsList.h"
#include "metainfo/SHA1.h"
#include "net/Reactor.h"
#include "rpc/RpcRequest.h"
#include "support/EngineFakes.h"
#include "support/Loopback.h"
#include "support/ManualClock.h"
#include "support/MetainfoBuilder.h"
#include "support/TempDir.h"

namespace velbrook {
namespace {

using Json = nlohmann::json;
using test::WriteFile;

class Remote : public ::testing::Test {
protected:
    Remote() {
        test::WriteAnyPortSettings(m_profile, "<DefaultDownloadPath type=\"string\" value=\"" +
                                                  m_save / "data" + "\"/>");
        m_ui.m_folder = m_save / "asked/";
        m_doc = std::make_unique<CVelbrookDoc>(m_profile.Dir(), m_ui, m_clock);
        m_rpc = std::make_unique<RpcMethods>(*m_doc, std::vector<std::string>{m_other / "root"});
    }
    ~Remote() override {
        m_rpc.reset();
        m_doc.reset();
    }

    Json Call(const std::string& method, const Json& arguments = Json::object()) {
        return Json::parse(
            m_rpc->Handle(Json{{"method", method}, {"arguments", arguments}}.dump()));
    }
    // A torrent file of its own name under in/; its path.
    std::string TorrentFile(const std::string& name) {
        const std::string path = m_save / ("in/" + name + ".torrent");
        WriteFile(path, test::Metainfo{.name = name, .length = 20000}.Encode());
        return path;
    }
    // Adds and answers the torrent-added (or -duplicate) object.
    Json Add(const Json& arguments, const char* what = "torrent-added") {
        const Json answer = Call("torrent-add", arguments);
        EXPECT_EQ(answer["result"], "success") << answer.dump();
        return answer["arguments"][what];
    }
    Json Torrents(const Json& ids, const Json& fields = {"id", "name", "status"}) {
        Json arguments = {{"fields", fields}};
        if (!ids.is_null()) {
            arguments["ids"] = ids;
        }
        const Json answer = Call("torrent-get", arguments);
        EXPECT_EQ(answer["result"], "success") << answer.dump();
        return answer["arguments"];
    }

    test::ManualClock m_clock;
    Reactor m_reactor;
    test::TempDir m_profile;
    test::TempDir m_save;
    test::TempDir m_other;
    test::FakeUi m_ui;
    std::unique_ptr<CVelbrookDoc> m_doc;
    std::unique_ptr<RpcMethods> m_rpc;
};

// The life of a torrent over the protocol: added from a path or from base64 metainfo, listed,
// stopped and started by id or by hash, removed with its data; ids never move or come back.
TEST_F(Remote, AddsListsStopsStartsAndRemovesTorrentsUnderStableIds) {
    const Json first = Add({{"filename", TorrentFile("first.bin")}});
    const std::string secondBytes = test::Metainfo{.name = "second.bin", .length = 30000}.Encode();
    // Data already there: the removal below must take it away.
    const std::string data = m_save / "data/second.bin";
    WriteFile(data, std::string(30000, 'x'));
    const Json second = Add({{"metainfo", EncodeBase64(secondBytes)}});
    EXPECT_EQ(first["id"], 1);
    EXPECT_EQ(first["name"], "first.bin");
    EXPECT_EQ(second["id"], 2);
    EXPECT_EQ(second["name"], "second.bin");
    EXPECT_EQ(second["hashString"].get<std::string>().size(), 40u);
    // The same torrent again is named, not added twice.
    EXPECT_EQ(Add({{"filename", TorrentFile("first.bin")}}, "torrent-duplicate")["id"], 1);
    EXPECT_EQ(m_doc->Downloads().Sessions().size(), 2u);

    Json listed = Torrents(nullptr, {"id", "status", "downloadDir", "totalSize", "files"});
    ASSERT_EQ(listed["torrents"].size(), 2u);
    EXPECT_EQ(listed["torrents"][1]["downloadDir"], m_save / "data");
    EXPECT_EQ(listed["torrents"][1]["totalSize"], 30000);
    EXPECT_EQ(listed["torrents"][1]["files"][0]["name"], "second.bin");
    EXPECT_NE(listed["torrents"][0]["status"], 0);

    EXPECT_EQ(Call("torrent-stop", {{"ids", {1}}})["result"], "success");
    listed = Torrents(Json::array({1, second["hashString"]}));
    ASSERT_EQ(listed["torrents"].size(), 2u);
    EXPECT_EQ(listed["torrents"][0]["status"], 0);
    EXPECT_NE(listed["torrents"][1]["status"], 0);
    // A hash string names a torrent wherever an id does, in either case.
    std::string upper = first["hashString"].get<std::string>();
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(Call("torrent-start", {{"ids", upper}})["result"], "success");
    EXPECT_NE(Torrents(1)["torrents"][0]["status"], 0);

    EXPECT_EQ(Call("torrent-remove", {{"ids", {2}}, {"delete-local-data", true}})["result"],
              "success");
    EXPECT_FALSE(std::filesystem::exists(data));
    EXPECT_EQ(Torrents(2)["torrents"].size(), 0u);

    // A new torrent takes a new id; the one removed is not given out again.
    EXPECT_EQ(Add({{"filename", TorrentFile("third.bin")}, {"paused", true}})["id"], 3);
    listed = Torrents(nullptr);
    ASSERT_EQ(listed["torrents"].size(), 2u);
    EXPECT_EQ(listed["torrents"][0]["id"], 1);
    EXPECT_EQ(listed["torrents"][1]["id"], 3);
    EXPECT_EQ(listed["torrents"][1]["status"], 0);  // added paused
}

// "recently-active" answers what changed since the last such look or within the last minute,
// and the ids removed meanwhile.
TEST_F(Remote, RecentlyActiveListsChangedTorrentsAndRemovedIds) {
    // Links without trackers, whose retries would change them: stopped, they rest.
    const std::string link = "magnet:?xt=urn:btih:";
    Add({{"filename", link + std::string(40, 'a')}, {"paused", true}});
    Add({{"filename", link + std::string(40, 'b')}, {"paused", true}});
    EXPECT_EQ(Torrents("recently-active")["torrents"].size(), 2u);
    m_clock.Advance(RpcMethods::kRecentSpan - std::chrono::seconds(1));
    EXPECT_EQ(Torrents("recently-active")["torrents"].size(), 2u);  // within the minute
    m_clock.Advance(RpcMethods::kRecentSpan + std::chrono::seconds(1));
    Json recent = Torrents("recently-active");
    EXPECT_EQ(recent["torrents"].size(), 0u);
    EXPECT_EQ(recent["removed"].size(), 0u);

    EXPECT_EQ(Call("torrent-start", {{"ids", 1}})["result"], "success");
    EXPECT_EQ(Call("torrent-remove", {{"ids", 2}})["result"], "success");
    recent = Torrents("recently-active");
    ASSERT_EQ(recent["torrents"].size(), 1u);
    EXPECT_EQ(recent["torrents"][0]["id"], 1);
    EXPECT_EQ(recent["removed"], Json::array({2}));
}

// A torrent named by an http URL is fetched on the loop and added once it arrives; an answer
// that is no torrent is told to the person and adds nothing.
TEST_F(Remote, AddsATorrentFetchedFromAnHttpUrl) {
    test::RawListener server;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.m_port) + "/web.torrent";
    const std::string bytes = test::Metainfo{.name = "web.bin", .length = 5000}.Encode();
    EXPECT_EQ(Call("torrent-add", {{"filename", url}, {"paused", true}})["result"], "success");
    {
        test::FarEnd far = server.Accept(m_reactor);
        EXPECT_NE(far.ReadThrough("\r\n\r\n").find("GET /web.torrent"), std::string::npos);
        far.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(bytes.size()) +
                  "\r\n\r\n" + bytes);
        ASSERT_TRUE(
            test::RunUntil(m_reactor, [&] { return m_doc->Downloads().Sessions().size() == 1; }));
    }
    const Json listed = Torrents(nullptr, {"name", "status", "downloadDir"});
    EXPECT_EQ(listed["torrents"][0]["name"], "web.bin");
    EXPECT_EQ(listed["torrents"][0]["status"], 0);
    EXPECT_EQ(listed["torrents"][0]["downloadDir"], m_save / "data");

    const size_t shown = m_ui.m_shown.size();
    EXPECT_EQ(Call("torrent-add", {{"filename", url + "?again"}})["result"], "success");
    {
        test::FarEnd far = server.Accept(m_reactor);
        far.ReadThrough("\r\n\r\n");
        far.Write("HTTP/1.0 200 OK\r\n\r\nnot a torrent");
    }  // closed: the answer ends here
    ASSERT_TRUE(test::RunUntil(m_reactor, [&] { return m_ui.m_shown.size() > shown; }));
    EXPECT_EQ(m_doc->Downloads().Sessions().size(), 1u);
}

// A download-dir outside the default save folder and the configured roots is refused, however
// it is spelt; inside them it is used.
TEST_F(Remote, RefusesDownloadDirsOutsideTheAllowedFolders) {
    std::filesystem::create_directories(m_save / "data");
    std::filesystem::create_symlink("/etc", m_save / "data/link");
    const std::string torrent = TorrentFile("x.bin");
    for (const std::string& outside :
         {std::string("/etc"), m_save / "data/../in", m_save / "data/link/sub", m_save / "datax",
          std::string("relative/path")}) {
        const Json answer = Call("torrent-add", {{"filename", torrent}, {"download-dir", outside}});
        EXPECT_NE(answer["result"], "success") << outside;
        EXPECT_NE(Call("session-set", {{"download-dir", outside}})["result"], "success") << outside;
    }
    EXPECT_TRUE(m_doc->Downloads().Sessions().empty());
    EXPECT_EQ(m_doc->CurrentSettings().GetString(DefaultDownloadPath), m_save / "data");

    Add({{"filename", torrent}, {"download-dir", m_other / "root/films"}, {"paused", true}});
    EXPECT_EQ(Torrents(1, {"downloadDir"})["torrents"][0]["downloadDir"], m_other / "root/films");
    EXPECT_EQ(Call("session-set", {{"download-dir", m_other / "root/new"}})["result"], "success");
    EXPECT_EQ(m_doc->CurrentSettings().GetString(DefaultDownloadPath), m_other / "root/new");
}

// The session's limits go through the settings the engine applies; a bad value changes
// nothing.
TEST_F(Remote, SessionSetAppliesLimitsAndRefusesBadValues) {
    EXPECT_EQ(Call("session-set", {{"speed-limit-down", 250},
                                   {"speed-limit-down-enabled", true},
                                   {"peer-limit-global", 20}})["result"],
              "success");
    EXPECT_EQ(m_doc->CurrentSettings().GetInt(MaxDownloadSpeed), 250);
    EXPECT_EQ(m_doc->CurrentSettings().GetInt(MaxConnectedPeers), 20);
    Settings kept;  // what the next start reads
    kept.Load(m_doc->ProfileDir() + Settings::FileName());
    EXPECT_EQ(kept.GetInt(MaxDownloadSpeed), 250);
    EXPECT_EQ(Call("session-set", {{"speed-limit-down-enabled", false}})["result"], "success");
    EXPECT_EQ(m_doc->CurrentSettings().GetInt(MaxDownloadSpeed), 0);
    const Json session = Call("session-get")["arguments"];
    EXPECT_EQ(session["speed-limit-down"], 250);
    EXPECT_EQ(session["speed-limit-down-enabled"], false);
    EXPECT_EQ(session["download-dir"], m_save / "data");

    EXPECT_NE(Call("session-set", {{"peer-limit-global", -1}, {"speed-limit-up", 5}})["result"],
              "success");
    EXPECT_NE(Call("session-set", {{"speed-limit-up", "fast"}})["result"], "success");
    EXPECT_NE(Call("session-set", {{"script-torrent-done-filename", "/bin/sh"}})["result"],
              "success");
    EXPECT_EQ(m_doc->CurrentSettings().GetInt(MaxConnectedPeers), 20);
    EXPECT_EQ(m_doc->CurrentSettings().GetInt(MaxUploadSpeed), 1000);
}

// Whatever arrives, the answer is a JSON object whose result says what was wrong; the tag comes
// back; nothing blocks.
TEST_F(Remote, MalformedRequestsGetAnErrorAnswer) {
    const auto result = [&](const std::string& body) {
        const Json answer = Json::parse(m_rpc->Handle(body));
        EXPECT_TRUE(answer["arguments"].is_object()) << body;
        return answer["result"].get<std::string>();
    };
    const Json unknown = Json::parse(m_rpc->Handle(R"({"method":"torrent-fly","tag":7})"));
    EXPECT_EQ(unknown["result"], "method name not recognized");
    EXPECT_EQ(unknown["tag"], 7);
    EXPECT_NE(result("{"), "success");
    EXPECT_NE(result(""), "success");
    EXPECT_NE(result("[1,2]"), "success");
    EXPECT_NE(result(R"({"method":5})"), "success");
    EXPECT_NE(result(R"({"method":"session-get","arguments":[1]})"), "success");
    const auto nested = [](int depth) {
        return R"({"method":"session-get","arguments":{"x":)" + std::string(depth - 2, '[') +
               std::string(depth - 2, ']') + "}}";
    };
    EXPECT_EQ(result(nested(kMaxRequestDepth)), "success");
    EXPECT_NE(result(nested(kMaxRequestDepth + 1)), "success");
    EXPECT_NE(result(R"({"method":"torrent-get","arguments":{"fields":["id","nonsense"]}})"),
              "success");
    EXPECT_NE(result(R"({"method":"torrent-get","arguments":{"fields":["id"],"ids":{"a":1}}})"),
              "success");
    EXPECT_NE(result(R"({"method":"torrent-add","arguments":{"metainfo":"not base64!"}})"),
              "success");
    EXPECT_NE(result(R"({"method":"torrent-add","arguments":{"filename":"/etc/passwd"}})"),
              "success");
    EXPECT_NE(result(R"({"method":"torrent-remove","arguments":{"delete-local-data":"yes"}})"),
              "success");
    // A named pipe would block the one thread forever if it were read.
    const std::string pipe = m_save / "pipe.torrent";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_NE(result(R"({"method":"torrent-add","arguments":{"filename":")" + pipe + "\"}}"),
              "success");
    EXPECT_TRUE(m_doc->Downloads().Sessions().empty());
}

TEST(RpcBase64, DecodesWhatEncodersWriteAndRefusesTheRest) {
    for (const std::string& bytes : {std::string(), std::string("a"), std::string("ab"),
                                     std::string("abc"), std::string("\xff\x00\x10z", 4)}) {
        EXPECT_EQ(DecodeBase64(EncodeBase64(bytes)), bytes);
    }
    EXPECT_EQ(DecodeBase64("YWJj\nZA"), "abcd");
    EXPECT_FALSE(DecodeBase64("YWJjZ"));
    EXPECT_FALSE(DecodeBase64("YW=Jj"));
    EXPECT_FALSE(DecodeBase64("YQ==="));
}

}  // namespace
}  // namespace velbrook
