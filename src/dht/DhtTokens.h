// Tokens that a node must show back to announce itself: a digest of a secret and the asker's
// address, so nothing is kept per asker. The secret changes every 5 minutes; a token made with
// the one before is still taken.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "net/Clock.h"

namespace velbrook {

class DhtTokens {
public:
    static constexpr Duration kRotation = std::chrono::minutes(5);
    static constexpr size_t kTokenSize = 8;

    explicit DhtTokens(Clock& clock);

    std::string Make(std::string_view address);
    bool Accepts(std::string_view token, std::string_view address);

private:
    void Rotate();
    static std::string Digest(const std::string& secret, std::string_view address);

    Clock& m_clock;
    std::string m_current;
    std::string m_previous;
    Time m_rotated;
};

}  // namespace velbrook
