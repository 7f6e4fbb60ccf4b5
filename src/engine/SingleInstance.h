// One running copy per profile. The first copy holds a lock on the profile and listens on a local
// socket; a later copy on the same profile hands its .torrent paths to it, hears which of them
// the running copy listed, and exits.
#pragma once

#include <functional>
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
    enum class Role { Primary, HandedOff, Failed, Unwritable };

    // How long a later copy waits for the running one to answer, and for a copy that is ending
    // to be gone.
    static constexpr int kAnswerWaitMs = 30000;
    static constexpr int kEndWaitMs = 20000;

    explicit SingleInstance(const std::string& profileDir);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Primary: this copy owns the profile. HandedOff: another copy runs and has answered for
    // `paths` (made absolute), given with `saveFolder` when one was chosen; NotListed() names
    // those it could not add. A copy that is ending takes nothing: this one waits until it has
    // gone and becomes Primary. Failed: another copy holds the profile but does not answer.
    // Unwritable: the profile folder cannot be written (WriteError() says why).
    Role Claim(const std::vector<std::string>& paths, const std::string& saveFolder = {});
    // After HandedOff: the handed paths that the running copy did not list.
    const std::vector<std::string>& NotListed() const { return m_notListed; }
    // After Unwritable: the errno of the failed write.
    int WriteError() const { return m_writeError; }

    // Serves the copies waiting to hand something over (non-blocking): `contacted` runs for each
    // copy that got in touch, with torrents or without (a copy started with nothing to open asks
    // the running one to come to the front); then `open` adds each of its torrents and says
    // whether it is listed, and the copy hears each answer. A relative path is refused: it was
    // meant from a folder this copy does not know.
    void Serve(const std::function<bool(const HandedTorrent&)>& open,
               const std::function<void()>& contacted = {});
    // This copy is ending: copies that get in touch from now on are turned away, and run by
    // themselves once it has gone.
    void StopAccepting();
    // The listening descriptor, for a loop that wants to watch it (-1 when not primary).
    int Fd() const { return m_listenFd; }

private:
    enum class HandOff { Answered, Refused, Silent };
    bool ProfileWritable();
    void Listen();
    HandOff HandOver(const std::vector<std::string>& paths, const std::string& saveFolder);
    bool WaitForLock();

    std::string m_profileDir;
    std::string m_address;  // abstract unix socket name, without the leading NUL
    int m_lockFd = -1;
    int m_listenFd = -1;
    bool m_ending = false;
    int m_writeError = 0;
    std::vector<std::string> m_notListed;
};

}  // namespace velbrook
