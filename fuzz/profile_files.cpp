// Fuzz target: the files of a profile as the engine reads them at start-up — Velbrook.xml,
// Downloads.xml and one status file — split from the input at "\n--8<--\n".
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "engine/DownloadsList.h"
#include "engine/LayerSettings.h"
#include "engine/SessionHost.h"
#include "engine/TorrentSession.h"
#include "engine/UiHost.h"
#include "net/Reactor.h"
#include "peer/PeerLinks.h"
#include "peer/SocketRegistry.h"
#include "persist/Settings.h"
#include "support/ManualClock.h"
#include "tracker/UdpTrackerService.h"

namespace {

using namespace velbrook;

class Ui : public UiHost {
public:
    void ShowMessage(const std::string&, MessageIcon) override {}
    void AskYesNo(const void*, const std::string&, YesNoAnswer answered) override {
        answered(false);
    }
    void ChooseSaveFile(const void*, const std::string&, const std::string&,
                        PathAnswer chosen) override {
        chosen(std::nullopt);
    }
    void ChooseFolder(const void*, const std::string&, PathAnswer chosen) override {
        chosen(std::nullopt);
    }
    void EditOptions(const void*, const SettingsValues&, OptionsAnswer edited) override {
        edited(std::nullopt);
    }
    void Withdraw(const void*) override {}
    void PostUpdateAllViews() override {}
};

class Host : public SessionHost, public PeerHost {
public:
    Host(std::string dir, const Settings& settings) : m_dir(std::move(dir)), m_settings(settings) {
        m_registry.SetProxy(ProxyFrom(settings));
    }
    PeerHost& Peers() override { return *this; }
    UiHost& Ui() override { return m_ui; }
    const Settings& CurrentSettings() const override { return m_settings; }
    const std::string& ProfileDir() const override { return m_dir; }
    const std::string& OwnPeerId() const override { return m_id; }
    uint16_t ListenPort() const override { return 6886; }
    void Trace(const std::string&) override {}
    void MarkListChanged() override {}
    const std::string& ReservedBytes() const override { return m_id; }
    SwarmLink* FindSwarm(std::string_view) override { return nullptr; }
    SocketRegistry& Registry() override { return m_registry; }
    const std::string& SelectedPeerId() const override { return m_id; }
    void UpdateAllViews() override {}
    Clock& GetClock() override { return m_clock; }
    UdpTrackerService& UdpTrackers() override { return m_udp; }

private:
    std::string m_dir;
    const Settings& m_settings;
    std::string m_id = std::string(20, 'o');
    test::ManualClock m_clock;  // nothing here waits for time
    SocketRegistry m_registry{m_clock};
    UdpTrackerService m_udp{m_clock};
    class Ui m_ui;
};

void Write(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file the engine could not read was moved aside exactly once with its bytes intact, unless
// it was read; the kept copy is removed for the next input.
void KeptOnce(const std::string& dir, const std::string& name, std::string_view bytes, bool read) {
    size_t kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(name + ".unreadable-", 0) == 0) {
            if (Read(entry.path().string()) != bytes) {
                std::abort();
            }
            std::filesystem::remove(entry.path());
            ++kept;
        }
    }
    if (kept != (read ? 0u : 1u)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Reactor reactor;
    // A plain array outlives every static object, so the clean-up at exit can still use it.
    static char folder[] = "/tmp/velbrook-fuzz-XXXXXX";
    static const std::string dir = [] {
        if (!::mkdtemp(folder)) {
            std::abort();
        }
        const std::string d = std::string(folder) + "/";
        ::mkdir((d + "Status").c_str(), 0755);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
        });
        return d;
    }();
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view parts[3];
    for (auto& part : parts) {
        const size_t cut = input.find("\n--8<--\n");
        part = input.substr(0, cut);
        input = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 8);
    }
    Write(dir + "Velbrook.xml", parts[0]);
    Write(dir + "Downloads.xml", parts[1]);
    Write(dir + "Status/" + std::string(40, 'a') + ".xml", parts[2]);

    Settings settings;
    // Every complaint names a key (or the file) and stays one short line.
    settings.Load(dir + "Velbrook.xml", [](const std::string& line) {
        if (line.find('\n') != std::string::npos || line.size() > 4096) {
            std::abort();
        }
    });
    // Unreadable settings are kept byte for byte too.
    KeptOnce(dir, "Velbrook.xml", parts[0], std::filesystem::exists(dir + "Velbrook.xml"));
    // Whatever the files say, nothing may reach beyond this machine: announces go to a proxy
    // on 127.0.0.1 that is not there.
    settings.SetInt(ConnectionType, 2);
    settings.SetString(SocksServer, "127.0.0.1");
    settings.SetInt(SocksPort, 1);
    Host host(dir, settings);
    size_t loaded = 0;
    {
        DownloadsList list(host);
        // A list that could not be read is never lost: it is kept, byte for byte, under a name
        // of its own.
        KeptOnce(dir, "Downloads.xml", parts[1], list.Load(dir + "Downloads.xml"));
        loaded = list.Sessions().size();
        if (!list.Save(dir + "again.xml")) {
            std::abort();
        }
    }
    // What was written reads back as the same list.
    DownloadsList again(host);
    (void)again.Load(dir + "again.xml");
    if (again.Sessions().size() != loaded) {
        std::abort();
    }
    return 0;
}
