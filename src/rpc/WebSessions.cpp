#include "rpc/WebSessions.h"

#include <algorithm>

#include "rpc/RpcPassword.h"

namespace velbrook {

namespace {
constexpr size_t kTokenBytes = 32;
}

std::string WebSessions::Open(Time now) {
    DropIdle(now);
    std::string token = RandomHex(kTokenBytes);
    if (token.empty() || m_capacity == 0) {
        return {};
    }
    if (m_sessions.size() >= m_capacity) {
        m_sessions.erase(
            std::min_element(m_sessions.begin(), m_sessions.end(),
                             [](const Session& a, const Session& b) { return a.used < b.used; }));
    }
    m_sessions.push_back(Session{token, now});
    return token;
}

bool WebSessions::Check(std::string_view token, Time now) {
    DropIdle(now);
    Session* found = nullptr;
    for (Session& session : m_sessions) {
        if (ConstantTimeEqual(token, session.token)) {
            found = &session;
        }
    }
    if (found == nullptr || token.empty()) {
        return false;
    }
    found->used = now;
    return true;
}

void WebSessions::Close(std::string_view token) {
    std::erase_if(m_sessions, [token](const Session& session) {
        return ConstantTimeEqual(token, session.token);
    });
}

void WebSessions::DropIdle(Time now) {
    std::erase_if(m_sessions,
                  [&](const Session& session) { return now - session.used >= m_idleLimit; });
}

}  // namespace velbrook
