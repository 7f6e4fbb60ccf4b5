// Runs scripted_http_server.py (a scripted tracker and misbehaving SOCKS5 proxies on 127.0.0.1)
// for a test suite, and stops it again by its process id.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace velbrook::test {

// Output goes to `out`, or with everything else to /dev/null when it is -1.
inline pid_t Spawn(std::vector<std::string> args, int out = -1) {
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A test that crashes must not leave its servers behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int null = open("/dev/null", O_WRONLY);
        dup2(out >= 0 ? out : null, 1);
        if (out < 0)
            dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

inline void Stop(pid_t pid) {
    if (pid > 0 && kill(pid, SIGTERM) == 0)
        waitpid(pid, nullptr, 0);
}

class ScriptedHttpServer {
public:
    ScriptedHttpServer() = default;
    ~ScriptedHttpServer() { Stop(m_pid); }
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // Appends every request line, and the hex of what each proxy was sent, to `logPath`. Returns
    // once every listener is up; false when the script did not say so.
    bool Start(const std::string& logPath) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return false;
        m_pid = Spawn({"/usr/bin/python3",
                       VELBROOK_SOURCE_DIR "/tests/tracker/scripted_http_server.py", logPath},
                      pipeFds[1]);
        close(pipeFds[1]);
        FILE* in = fdopen(pipeFds[0], "r");
        char line[128], name[32];
        unsigned port = 0;
        bool ready = false;
        while (!ready && fgets(line, sizeof line, in)) {
            ready = strncmp(line, "ready", 5) == 0;
            if (!ready && sscanf(line, "%31s %u", name, &port) == 2)
                m_ports[name] = static_cast<uint16_t>(port);
        }
        fclose(in);
        return ready && m_ports.count("http") == 1;
    }

    // A listener's port by name: "http" is the tracker, the rest are proxies.
    uint16_t Port(const std::string& name) const {
        const auto it = m_ports.find(name);
        return it == m_ports.end() ? 0 : it->second;
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(Port("http")) + path;
    }

private:
    pid_t m_pid = -1;
    std::map<std::string, uint16_t> m_ports;
};

}  // namespace velbrook::test
