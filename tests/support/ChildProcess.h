// A program a test starts (a SOCKS5 proxy, say), stopped by its own PID when the test ends.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Loopback.h"

extern char** environ;

namespace velbrook::test {

class ChildProcess {
public:
    // Its output goes to /dev/null.
    explicit ChildProcess(std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        EXPECT_EQ(::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ), 0)
            << argv[0];
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // True once something accepts connections on 127.0.0.1:`port`; false if the program ended
    // first (or, as a guard against a hang, never listened).
    bool WaitForListener(uint16_t port) {
        for (int attempt = 0; attempt < 2000; ++attempt) {
            int status = 0;
            if (m_pid <= 0)
                return false;
            if (::waitpid(m_pid, &status, WNOHANG) != 0) {
                m_pid = -1;  // reaped: its number may go to another process
                return false;
            }
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = Loopback(port);
            const bool open =
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (open)
                return true;
            pollfd none{};
            ::poll(&none, 0, 10);  // the program is still starting; ask again soon
        }
        return false;
    }

private:
    pid_t m_pid = -1;
};

}  // namespace velbrook::test
