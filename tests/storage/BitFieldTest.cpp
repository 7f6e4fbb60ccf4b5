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

TEST(BitField, SpansCoverTheStreamWithAShorterLastEntry) {
    BitField uneven(100, 30);
    EXPECT_EQ(uneven.GetLastIndex(), 3u);
    int64_t offset = -1;
    uint32_t length = 0;
    ASSERT_TRUE(uneven.GetSpan(2, offset, length));
    EXPECT_EQ(offset, 60);
    EXPECT_EQ(length, 30u);
    ASSERT_TRUE(uneven.GetSpan(3, offset, length));
    EXPECT_EQ(offset, 90);
    EXPECT_EQ(length, 10u);
    EXPECT_FALSE(uneven.GetSpan(4, offset, length));

    BitField even(90, 30);
    EXPECT_EQ(even.GetLastIndex(), 2u);
    ASSERT_TRUE(even.GetSpan(2, offset, length));
    EXPECT_EQ(length, 30u);

    uint32_t index = 0;
    ASSERT_TRUE(uneven.IndexOfOffset(99, index));
    EXPECT_EQ(index, 3u);
    EXPECT_FALSE(uneven.IndexOfOffset(100, index));
    EXPECT_FALSE(uneven.IndexOfOffset(-1, index));
}

TEST(BitField, OutOfRangeIndexesChangeNothing) {
    BitField field(100, 30);
    field.SetAll(Missing);
    EXPECT_EQ(field.GetState(4), OutOfRange);
    EXPECT_FALSE(field.SetState(4, Have));
    // Entries are a byte: a state beyond the known ones must not wrap round to another.
    EXPECT_FALSE(field.SetState(0, OutOfRange));
    EXPECT_FALSE(field.SetState(0, 256 + Have));
    EXPECT_TRUE(field.AllEqual(Missing));
    EXPECT_EQ(field.BytesInState(Missing), 100);
}

TEST(BitField, BitStringIsMostSignificantBitFirstAndOnlyForHave) {
    BitField field(10, 1);
    Fill(field, "2134111222");
    EXPECT_EQ(field.ToBitString(), std::string("\x81\xc0", 2));
    EXPECT_EQ(field.ToCharString().substr(0, 4), "PFDF");  // the 4 at index 3 adds no letter

    BitField small(5, 1);
    Fill(small, "21304");
    EXPECT_EQ(small.ToCharString(), "PFDU");

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

TEST(BitField, CountsBytesOfARangeByState) {
    BitField field(100, 30);
    field.SetAll(Have);
    EXPECT_EQ(field.CountBytesInState(Have, 25, 40), 40);
    EXPECT_EQ(field.CountBytesInState(Have, 0, 100), 100);
    EXPECT_EQ(field.CountBytesInState(Have, 95, 50), 5);  // clipped at the end of the stream
    EXPECT_EQ(field.CountBytesInState(Have, 10, 0), 0);
    Fill(field, "1211");
    EXPECT_EQ(field.CountBytesInState(Have, 25, 40), 30);
    EXPECT_EQ(field.CountBytesInState(Have, 35, 10), 10);
    EXPECT_EQ(field.BytesInState(Missing), 70);
}

TEST(BitField, FindsWhatOneSideHasAndTheOtherLacks) {
    BitField own(50, 10);
    BitField peer(50, 10);
    Fill(own, "22111");
    Fill(peer, "21121");
    EXPECT_TRUE(own.HasEntryMissingIn(peer));  // we have 1, the peer does not
    EXPECT_TRUE(peer.HasEntryMissingIn(own));  // the peer has 3, we do not
    Fill(peer, "22111");
    EXPECT_FALSE(own.HasEntryMissingIn(peer));
    uint32_t index = 0;
    ASSERT_TRUE(own.FindFirst(Missing, index));
    EXPECT_EQ(index, 2u);
    EXPECT_FALSE(own.FindFirst(Requested, index));
    EXPECT_TRUE(own.NoneEqual(Requested));
}

}  // namespace
}  // namespace velbrook
