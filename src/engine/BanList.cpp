#include "engine/BanList.h"

namespace velbrook {

uint32_t BanList::CountFailure(const std::string& address) {
    if (m_failures.size() >= kMaxFailingAddresses && m_failures.count(address) == 0) {
        m_failures.erase(m_failures.begin());
    }
    return ++m_failures[address];
}

}  // namespace velbrook
