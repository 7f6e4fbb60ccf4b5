// Addresses whose peers sent data that failed the piece check too often. A torrent keeps its list
// while the program runs, across stops and starts; its set of peers consults it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace velbrook {

class BanList {
public:
    void Ban(const std::string& address) { m_banned.insert(address); }
    bool IsBanned(const std::string& address) const { return m_banned.count(address) != 0; }
    // One more piece failed its check with the last slice from `address`: how many have so far.
    uint32_t CountFailure(const std::string& address);

private:
    // Bounded however many addresses send bad data: one forgotten starts counting again.
    static constexpr size_t kMaxFailingAddresses = 4096;

    std::set<std::string> m_banned;
    std::map<std::string, uint32_t> m_failures;
};

}  // namespace velbrook
