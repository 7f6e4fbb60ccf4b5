#include "peer/PeerId.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace velbrook {
namespace {

// Each thread seeds its own generator, as a second process would: a fixed or clock-based seed
// shows up as two threads drawing the same id, and two copies would take each other for
// themselves.
TEST(PeerId, OwnIdsDifferBetweenCopiesStartedTogether) {
    std::string first, second;
    std::thread([&first] { first = BuildPeerId(); }).join();
    std::thread([&second] { second = BuildPeerId(); }).join();
    EXPECT_EQ(first.substr(0, 12), second.substr(0, 12));
    EXPECT_NE(first, second);
    EXPECT_EQ(IdentifyClient(first), "korvex 0.33");
}

// Ids come from peers: short ones are never read past their end, and the name shown is printable.
TEST(PeerId, ClientNamesAreReadSafelyFromAnyId) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string(5, '\0') + "Azureus" + "12345678", "Azureus"},
        {std::string(12, '\0') + "aa" + "xxxxxx", "Experi"},
        {std::string(12, '\0') + "ab" + "xxxxxx", "Official"},
        {std::string("\0\0\0\0korvex\x01\x07", 12), "korvex 1.07"},
        {"S\x05\x08rest", "ShadowExp 5.8"},
        {"", "n/a"},
        {std::string(13, '\0'), "Official"},  // "aa" would be past the end
        {std::string(5, '\0') + "Azure", "n/a"},
        {std::string("\0\0\0\0korvex", 10), "korvex ?.??"},
        // 0xD0 + '0' wraps to NUL; 0x50 + '0' is 0x80, a stray UTF-8 continuation byte.
        {std::string("\0\0\0\0korvex\xD0\xFF", 12), "korvex ?.I5"},
        {"S\x50\x4F", "ShadowExp ?.?"},
    };
    for (const auto& [id, name] : cases) {
        EXPECT_EQ(IdentifyClient(id), name) << testing::PrintToString(id);
    }
}

}  // namespace
}  // namespace velbrook
