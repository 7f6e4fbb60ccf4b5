#include "dht/NodeId.h"

#include <bit>
#include <cstdint>
#include <random>

namespace velbrook {

namespace {

constexpr size_t kIdSize = 20;

std::mt19937& Engine() {
    static std::mt19937 engine{std::random_device{}()};
    return engine;
}

}  // namespace

std::string RandomNodeId() {
    std::random_device device;
    std::string id(kIdSize, '\0');
    for (char& c : id) {
        c = static_cast<char>(device() & 0xFF);
    }
    return id;
}

int CommonPrefixBits(std::string_view a, std::string_view b) {
    for (size_t i = 0; i < kIdSize && i < a.size() && i < b.size(); ++i) {
        const auto x = static_cast<uint8_t>(a[i] ^ b[i]);
        if (x) {
            return static_cast<int>(i) * 8 + std::countl_zero(x);
        }
    }
    return static_cast<int>(kIdSize) * 8;
}

bool CloserTo(std::string_view target, std::string_view a, std::string_view b) {
    for (size_t i = 0; i < kIdSize && i < a.size() && i < b.size() && i < target.size(); ++i) {
        const auto da = static_cast<uint8_t>(a[i] ^ target[i]);
        const auto db = static_cast<uint8_t>(b[i] ^ target[i]);
        if (da != db) {
            return da < db;
        }
    }
    return false;
}

std::string RandomIdWithPrefix(std::string_view base, int bits) {
    std::string id(kIdSize, '\0');
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : id) {
        c = static_cast<char>(byte(Engine()));
    }
    if (bits >= static_cast<int>(kIdSize) * 8) {
        return std::string(base);
    }
    for (int i = 0; i < bits; ++i) {
        const uint8_t mask = static_cast<uint8_t>(0x80u >> (i % 8));
        id[static_cast<size_t>(i / 8)] =
            static_cast<char>((static_cast<uint8_t>(id[static_cast<size_t>(i / 8)]) & ~mask) |
                              (static_cast<uint8_t>(base[static_cast<size_t>(i / 8)]) & mask));
    }
    // The next bit differs, so exactly `bits` are shared.
    const uint8_t mask = static_cast<uint8_t>(0x80u >> (bits % 8));
    const auto at = static_cast<size_t>(bits / 8);
    id[at] = static_cast<char>((static_cast<uint8_t>(id[at]) & ~mask) |
                               (~static_cast<uint8_t>(base[at]) & mask));
    return id;
}

}  // namespace velbrook
