#include "engine/LayerSettings.h"

#include <algorithm>
#include <cstdint>

#include "net/Address.h"
#include "persist/Settings.h"

namespace velbrook {

namespace {

constexpr int32_t kThroughSocks5 = 2;

// A KiB/s setting in bytes per second. A negative value counts as 0 rather than wrapping round to
// an enormous limit.
int64_t BytesPerSecond(const Settings& settings, int key) {
    return int64_t{std::max(0, settings.GetInt(key))} * 1024;
}

}  // namespace

ProxyConfig ProxyFrom(const Settings& settings) {
    ProxyConfig proxy;
    proxy.enabled = settings.GetInt(ConnectionType) == kThroughSocks5;
    proxy.host = settings.GetString(SocksServer);
    // Both ends of the key's range fit; a port 0 is refused where a connection starts.
    proxy.port = static_cast<uint16_t>(std::clamp(settings.GetInt(SocksPort), 0, 65535));
    proxy.user = settings.GetString(Socks5UserName);
    proxy.password = settings.GetString(Socks5Password);
    return proxy;
}

AnnounceSettings AnnounceSettingsFrom(const Settings& settings) {
    return {settings.GetString(ReportIP), HostGlobalIPv6(), ProxyFrom(settings),
            settings.GetInt(CheckTrackerCertificates) != 0};
}

PeerLimits PeerLimitsFrom(const Settings& settings) {
    PeerLimits limits;
    limits.uploadBytesPerSecond = BytesPerSecond(settings, MaxUploadSpeed);
    limits.downloadBytesPerSecond = BytesPerSecond(settings, MaxDownloadSpeed);
    limits.maxConnected = settings.GetInt(MaxConnectedPeers);
    limits.uploadSlots = settings.GetInt(MaxUpLoadSlots);
    limits.upDownRatio = static_cast<uint64_t>(std::max(0, settings.GetInt(UpDownRatio)));
    // The allowance it sets is a 32-bit rate.
    limits.minUploadBytesPerSecond = static_cast<uint64_t>(
        std::min<int64_t>(BytesPerSecond(settings, MinUploadRate), int64_t{UINT32_MAX}));
    if (settings.GetInt(LogPeerComm) != 0) {
        limits.logLines = static_cast<size_t>(std::max(0, settings.GetInt(LogPeerCommLines)));
    }
    return limits;
}

}  // namespace velbrook
