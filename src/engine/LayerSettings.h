// What the layers under the engine are told of the settings: each receives a small value, made
// here from the keys it depends on, when it is made and again when those keys change.
#pragma once

#include "engine/PeerSet.h"
#include "net/Socks5.h"
#include "tracker/TrackerClient.h"

namespace velbrook {

class Settings;

// Outgoing connections to peers and trackers.
ProxyConfig ProxyFrom(const Settings& settings);
// Every torrent's announces.
AnnounceSettings AnnounceSettingsFrom(const Settings& settings);
// Every running torrent's peers.
PeerLimits PeerLimitsFrom(const Settings& settings);

}  // namespace velbrook
