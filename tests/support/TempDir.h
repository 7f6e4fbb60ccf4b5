// A fresh folder under /tmp, removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace velbrook::test {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/velbrook-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        m_path = made ? made : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder with a trailing "/".
    std::string Dir() const { return m_path + "/"; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A settings file in `profile` that lets the document listen on a port of its own choosing, so
// that tests running side by side never meet on one, and keeps it off the DHT (a test may name
// loopback routers instead); `more` are further entries.
inline void WriteAnyPortSettings(const TempDir& profile, const std::string& more = {}) {
    WriteFile(profile / "Velbrook.xml",
              "<Tarnwick><Settings><ListenPort type=\"int\" value=\"0\"/>" +
                  (more.find("<DhtRouters ") == std::string::npos
                       ? "<DhtEnabled type=\"int\" value=\"0\"/>"
                       : std::string()) +
                  more + "</Settings></Tarnwick>\n");
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace velbrook::test
