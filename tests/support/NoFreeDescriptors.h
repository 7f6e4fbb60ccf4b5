// The process out of descriptors, as under a crowd of connecting peers, until this goes. Nothing
// may report a failure meanwhile: that takes descriptors too.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace velbrook::test {

class NoFreeDescriptors {
public:
    NoFreeDescriptors() {
        ::getrlimit(RLIMIT_NOFILE, &m_limit);
        rlimit low = m_limit;
        low.rlim_cur = std::min<rlim_t>(m_limit.rlim_cur, 4096);  // a bounded number to take
        ::setrlimit(RLIMIT_NOFILE, &low);
        m_taken.reserve(low.rlim_cur);
        for (int fd = 0; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            m_taken.push_back(fd);
        }
    }
    ~NoFreeDescriptors() {
        std::for_each(m_taken.begin(), m_taken.end(), ::close);
        ::setrlimit(RLIMIT_NOFILE, &m_limit);
    }
    NoFreeDescriptors(const NoFreeDescriptors&) = delete;
    NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

private:
    rlimit m_limit{};
    std::vector<int> m_taken;
};

}  // namespace velbrook::test
