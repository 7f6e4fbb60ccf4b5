// One running copy per profile. The first copy holds a lock on the profile and listens on a local
// socket; a later copy on the same profile hands its .torrent paths to it and exits.
#pragma once

#include <string>
#include <vector>

namespace velbrook {

// A .torrent file another copy handed over, and the save folder it was given for it (empty: the
// running copy's own).
struct HandedTorrent {
    std::string path;
    std::string saveFolder;
};

class SingleInstance {
public:
    enum class Role { Primary, HandedOff, Failed };

    explicit SingleInstance(const std::string& profileDir);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Primary: this copy owns the profile. HandedOff: another copy runs and has been given
    // `paths` (made absolute), with `saveFolder` when one was chosen. Failed: another copy
    // holds the profile but cannot be reached.
    Role Claim(const std::vector<std::string>& paths, const std::string& saveFolder = {});
    // What other copies have handed over since the last call (non-blocking). `contacted` is
    // set when some copy got in touch, with torrents or without: a copy started with nothing
    // to open asks the running one to come to the front.
    std::vector<HandedTorrent> TakeHanded(bool* contacted = nullptr);
    // The listening descriptor, for a loop that wants to watch it (-1 when not primary).
    int Fd() const { return m_listenFd; }

private:
    std::string m_profileDir;
    std::string m_address;  // abstract unix socket name, without the leading NUL
    int m_lockFd = -1;
    int m_listenFd = -1;
};

}  // namespace velbrook
