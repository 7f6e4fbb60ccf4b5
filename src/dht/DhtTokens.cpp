#include "dht/DhtTokens.h"

#include "dht/NodeId.h"
#include "metainfo/SHA1.h"

namespace velbrook {

DhtTokens::DhtTokens(Clock& clock)
    : m_clock(clock), m_current(RandomNodeId()), m_previous(RandomNodeId()),
      m_rotated(clock.Now()) {}

void DhtTokens::Rotate() {
    const Time now = m_clock.Now();
    const Duration since = now - m_rotated;
    if (since < kRotation) {
        return;
    }
    // Two periods or more: the secret of the last period was never handed out, so neither
    // old token may pass.
    m_previous = since >= 2 * kRotation ? RandomNodeId() : m_current;
    m_current = RandomNodeId();
    m_rotated = now;
}

std::string DhtTokens::Digest(const std::string& secret, std::string_view address) {
    std::string input = secret;
    input += address;
    return SHA1::Digest(input).substr(0, kTokenSize);
}

std::string DhtTokens::Make(std::string_view address) {
    Rotate();
    return Digest(m_current, address);
}

bool DhtTokens::Accepts(std::string_view token, std::string_view address) {
    Rotate();
    return token.size() == kTokenSize &&
           (token == Digest(m_current, address) || token == Digest(m_previous, address));
}

}  // namespace velbrook
