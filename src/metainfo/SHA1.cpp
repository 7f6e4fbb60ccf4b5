#include "metainfo/SHA1.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#define VELBROOK_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define VELBROOK_SHA1_X86 0
#endif

namespace velbrook {
namespace {

constexpr uint32_t kInitialState[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                       0xC3D2E1F0u};

inline uint32_t LoadBigEndian(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBigEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Plain memset on memory that is never read again may be dropped by the optimiser; the
// volatile stores keep the wipe of hash state in the destructor.
void Wipe(void* p, size_t n) {
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = 0;
    }
}

// ---- portable path ----
//
// One round per instantiation; the five working variables rotate roles instead of being
// shuffled, so after full unrolling every index is a constant and `v` lives in registers.
// The schedule keeps only the last 16 words.
template <size_t I>
[[gnu::always_inline]] inline void PortableRound(uint32_t (&v)[5], uint32_t (&w)[16]) {
    constexpr size_t a = (80 - I) % 5;
    constexpr size_t b = (81 - I) % 5;
    constexpr size_t c = (82 - I) % 5;
    constexpr size_t d = (83 - I) % 5;
    constexpr size_t e = (84 - I) % 5;

    uint32_t word;
    if constexpr (I < 16) {
        word = w[I];
    } else {
        word = std::rotl(w[(I + 13) & 15] ^ w[(I + 8) & 15] ^ w[(I + 2) & 15] ^ w[I & 15], 1);
        w[I & 15] = word;
    }

    uint32_t f;
    uint32_t k;
    if constexpr (I < 20) {
        f = v[d] ^ (v[b] & (v[c] ^ v[d]));
        k = 0x5A827999u;
    } else if constexpr (I < 40) {
        f = v[b] ^ v[c] ^ v[d];
        k = 0x6ED9EBA1u;
    } else if constexpr (I < 60) {
        // The two terms never share a set bit, so adding them is the same as or-ing and
        // shortens the dependency chain.
        f = (v[b] & v[c]) + (v[d] & (v[b] ^ v[c]));
        k = 0x8F1BBCDCu;
    } else {
        f = v[b] ^ v[c] ^ v[d];
        k = 0xCA62C1D6u;
    }

    v[e] += std::rotl(v[a], 5) + f + k + word;
    v[b] = std::rotl(v[b], 30);
}

template <size_t... I>
[[gnu::always_inline]] inline void PortableRounds(uint32_t (&v)[5], uint32_t (&w)[16],
                                                  std::index_sequence<I...>) {
    (PortableRound<I>(v, w), ...);
}

void CompressPortable(uint32_t state[5], const uint8_t* blocks, size_t count) {
    uint32_t v[5] = {state[0], state[1], state[2], state[3], state[4]};
    for (; count > 0; --count, blocks += 64) {
        uint32_t w[16];
        for (size_t i = 0; i < 16; ++i) {
            w[i] = LoadBigEndian(blocks + 4 * i);
        }
        const uint32_t saved[5] = {v[0], v[1], v[2], v[3], v[4]};
        PortableRounds(v, w, std::make_index_sequence<80>{});
        // 80 rounds rotate the roles a full 16 times, so v[i] is back in slot i.
        for (size_t i = 0; i < 5; ++i) {
            v[i] += saved[i];
        }
    }
    for (size_t i = 0; i < 5; ++i) {
        state[i] = v[i];
    }
}

// ---- x86 SHA extensions ----
#if VELBROOK_SHA1_X86

#define VELBROOK_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#define VELBROOK_SHA_TARGET_INLINE __attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline

// Four rounds per instantiation. `msg[G & 3]` holds words 4G..4G+3; once consumed, that slot
// is refilled with words 4(G+4).. from the three vectors after it.
template <int G>
VELBROOK_SHA_TARGET_INLINE void HardwareGroup(__m128i& abcd, __m128i& prev, __m128i& e,
                                              __m128i (&msg)[4]) {
    __m128i wordsPlusE;
    if constexpr (G == 0) {
        wordsPlusE = _mm_add_epi32(e, msg[0]);
    } else {
        wordsPlusE = _mm_sha1nexte_epu32(prev, msg[G & 3]);
    }
    prev = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, wordsPlusE, G / 5);
    if constexpr (G + 4 < 20) {
        __m128i next = _mm_sha1msg1_epu32(msg[G & 3], msg[(G + 1) & 3]);
        next = _mm_xor_si128(next, msg[(G + 2) & 3]);
        msg[G & 3] = _mm_sha1msg2_epu32(next, msg[(G + 3) & 3]);
    }
}

template <int... G>
VELBROOK_SHA_TARGET_INLINE void HardwareGroups(__m128i& abcd, __m128i& prev, __m128i& e,
                                               __m128i (&msg)[4],
                                               std::integer_sequence<int, G...>) {
    (HardwareGroup<G>(abcd, prev, e, msg), ...);
}

VELBROOK_SHA_TARGET void CompressHardware(uint32_t state[5], const uint8_t* blocks, size_t count) {
    // Reverses all 16 bytes: big-endian words, with the first word in the top lane where the
    // SHA instructions expect it.
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);

    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abcdSaved = abcd;
        const __m128i eSaved = e;
        __m128i msg[4];
        for (int i = 0; i < 4; ++i) {
            msg[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byteSwap);
        }
        __m128i prev = abcd;
        HardwareGroups(abcd, prev, e, msg, std::make_integer_sequence<int, 20>{});
        e = _mm_sha1nexte_epu32(prev, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

bool DetectHardware() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    const bool vectorBasics = (ecx & bit_SSSE3) && (ecx & bit_SSE4_1);
    if (!vectorBasics || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    return (ebx & bit_SHA) != 0;
}

#endif  // VELBROOK_SHA1_X86

}  // namespace

SHA1::SHA1() : SHA1(Engine::Auto) {}

SHA1::SHA1(Engine engine) {
    m_engine =
        (engine != Engine::Portable && HardwareAvailable()) ? Engine::Hardware : Engine::Portable;
    Reset();
    std::memset(m_digest, 0, sizeof m_digest);
}

SHA1::~SHA1() {
    Reset();
    Wipe(m_state, sizeof m_state);
    Wipe(m_buffer, sizeof m_buffer);
    Wipe(m_digest, sizeof m_digest);
}

bool SHA1::HardwareAvailable() {
#if VELBROOK_SHA1_X86
    static const bool available = DetectHardware();
    return available;
#else
    return false;
#endif
}

void SHA1::Reset() {
    std::memcpy(m_state, kInitialState, sizeof m_state);
    m_count[0] = 0;
    m_count[1] = 0;
    std::memset(m_buffer, 0, sizeof m_buffer);
}

void SHA1::Compress(const uint8_t* blocks, size_t count) {
#if VELBROOK_SHA1_X86
    if (m_engine == Engine::Hardware) {
        CompressHardware(m_state, blocks, count);
        return;
    }
#endif
    CompressPortable(m_state, blocks, count);
}

void SHA1::Update(const void* data, size_t length) {
    if (length == 0) {
        return;
    }
    const uint8_t* input = static_cast<const uint8_t*>(data);
    size_t used = (m_count[0] >> 3) & 63;

    // The bit count is kept modulo 2^64: the low word takes 8*length mod 2^32, the high word
    // the carry plus the rest of 8*length, whatever the width of size_t.
    const uint32_t lowAdd = static_cast<uint32_t>(length << 3);
    const uint32_t oldLow = m_count[0];
    m_count[0] = oldLow + lowAdd;
    if (m_count[0] < oldLow) {
        ++m_count[1];
    }
    m_count[1] += static_cast<uint32_t>(static_cast<uint64_t>(length) >> 29);

    if (used > 0) {
        const size_t take = std::min(length, 64 - used);
        std::memcpy(m_buffer + used, input, take);
        used += take;
        input += take;
        length -= take;
        if (used < 64) {
            return;
        }
        Compress(m_buffer, 1);
    }

    const size_t whole = length / 64;
    if (whole > 0) {
        Compress(input, whole);
        input += whole * 64;
        length -= whole * 64;
    }
    if (length > 0) {
        std::memcpy(m_buffer, input, length);
    }
}

void SHA1::Final() {
    uint8_t lengthBytes[8];
    StoreBigEndian(lengthBytes, m_count[1]);
    StoreBigEndian(lengthBytes + 4, m_count[0]);

    size_t used = (m_count[0] >> 3) & 63;
    m_buffer[used++] = 0x80;
    if (used > 56) {
        std::memset(m_buffer + used, 0, 64 - used);
        Compress(m_buffer, 1);
        used = 0;
    }
    std::memset(m_buffer + used, 0, 56 - used);
    std::memcpy(m_buffer + 56, lengthBytes, 8);
    Compress(m_buffer, 1);

    for (size_t i = 0; i < 5; ++i) {
        StoreBigEndian(m_digest + 4 * i, m_state[i]);
    }

    std::memset(m_state, 0, sizeof m_state);
    m_count[0] = 0;
    m_count[1] = 0;
    std::memset(m_buffer, 0, sizeof m_buffer);
}

void SHA1::GetHash(uint8_t out[20]) const {
    std::memcpy(out, m_digest, sizeof m_digest);
}

std::string SHA1::ReportHash(int type) const {
    if (type == kReportHex) {
        return BytesToHex(
            std::string_view(reinterpret_cast<const char*>(m_digest), sizeof m_digest));
    }
    if (type == kReportDigit) {
        std::string out;
        char number[8];
        for (size_t i = 0; i < sizeof m_digest; ++i) {
            std::snprintf(number, sizeof number, i == 0 ? "%u" : " %u",
                          static_cast<unsigned>(m_digest[i]));
            out += number;
        }
        return out;
    }
    return "Error: Unknown report type!";
}

std::string SHA1::Digest(std::string_view bytes) {
    SHA1 hasher;
    hasher.Update(bytes.data(), bytes.size());
    hasher.Final();
    uint8_t digest[20];
    hasher.GetHash(digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string BytesToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
    return out;
}

std::string HexToBytes(std::string_view hex) {
    // No validation: anything past '9' is taken as a lower-case letter.
    auto value = [](char c) { return c <= '9' ? c - '0' : c - 0x57; };
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int byte = value(hex[i]) * 16 + value(hex[i + 1]);
        out += static_cast<char>(static_cast<unsigned char>(byte));
    }
    return out;
}

}  // namespace velbrook
