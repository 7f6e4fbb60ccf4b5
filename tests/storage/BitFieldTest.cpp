#include "storage/BitField.h"

#include <gtest/gtest.h>

namespace velbrook {
namespace {

// States from a string of digits, e.g. "21304".
void Fill(BitField& field, const std::string& states) {
    for (uint32_t i = 0; i < states.size(); ++i) {
        ASSERT_TRUE(field.SetState(i, static_cast<uint32_t>(states[i] - '0')));
    }
}

// The wire form of BITFIELD messages and status files.
TEST(BitField, BitStringIsMostSignificantBitFirstAndOnlyForHave) {
    BitField field(10, 1);
    Fill(field, "2134111222");
    EXPECT_EQ(field.ToBitString(), std::string("\x81\xc0", 2));

    BitField loaded(10, 1);
    EXPECT_FALSE(loaded.FromBitString(std::string("\x81", 1)));
    EXPECT_TRUE(loaded.AllEqual(Unchecked));
    ASSERT_TRUE(loaded.FromBitString(std::string("\x81\x80\xff", 3)));
    EXPECT_EQ(loaded.ToCharString(), "PFFFFFFPPF");
    // Spare bits of the last byte are ignored when reading and written as zero.
    ASSERT_TRUE(loaded.FromBitString(std::string("\x00\x3f", 2)));
    EXPECT_TRUE(loaded.AllEqual(Missing));
    EXPECT_EQ(loaded.ToBitString(), std::string("\x00\x00", 2));
}

}  // namespace
}  // namespace velbrook
