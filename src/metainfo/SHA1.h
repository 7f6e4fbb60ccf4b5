// SHA-1 (FIPS 180-1) for info hashes and piece checks, plus the byte/hex helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velbrook {

class SHA1 {
public:
    enum ReportType { kReportHex = 0, kReportDigit = 1 };

    // Which compression routine runs. Auto takes the x86 SHA extensions when the CPU has them.
    enum class Engine { Auto, Portable, Hardware };

    SHA1();
    explicit SHA1(Engine engine);  // Hardware falls back to Portable when the CPU lacks it
    virtual ~SHA1();
    SHA1(const SHA1&) = delete;
    SHA1& operator=(const SHA1&) = delete;

    void Reset();
    void Update(const void* data, size_t length);
    void Final();
    void GetHash(uint8_t out[20]) const;
    // Type 0: 40 lower-case hex digits; type 1: the 20 byte values in decimal, blank-separated;
    // any other type: "Error: Unknown report type!".
    std::string ReportHash(int type) const;

    // The digest of `bytes` as 20 raw bytes.
    static std::string Digest(std::string_view bytes);
    static bool HardwareAvailable();
    Engine ActiveEngine() const { return m_engine; }

private:
    void Compress(const uint8_t* blocks, size_t count);

    Engine m_engine;
    uint32_t m_state[5];
    uint32_t m_count[2];  // message length in bits: low word, high word
    uint8_t m_buffer[64];
    uint8_t m_digest[20];
};

// Two lower-case hex digits per byte, no separators.
std::string BytesToHex(std::string_view bytes);
// Pairs of characters from the start, high digit first; a final odd character is ignored.
// Only meant for text that BytesToHex wrote.
std::string HexToBytes(std::string_view hex);

}  // namespace velbrook
