#include "peer/Wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velbrook {
namespace {

const std::string kInfoHash(20, 'h');
const std::string kPeer = "-PEER-0123456789abcd";

TEST(WireHandshake, BuildsAndParsesInPieces) {
    const std::string hs = BuildHandshake(ReservedBytes(true), kInfoHash, kPeer) + "next";
    ASSERT_EQ(hs.size(), kHandshakeLength + 4);
    EXPECT_EQ(hs.substr(0, 20), std::string("\x13") + "BitTorrent protocol");

    HandshakeFields fields;
    EXPECT_EQ(ParseHandshake(std::string_view(hs).substr(0, 5), fields), HandshakeParse::NeedMore);
    EXPECT_EQ(ParseHandshake(std::string_view(hs).substr(0, 67), fields), HandshakeParse::NeedMore);
    ASSERT_EQ(ParseHandshake(hs, fields), HandshakeParse::Complete);
    EXPECT_EQ(fields.reserved, ReservedBytes(true));
    EXPECT_EQ(fields.infoHash, kInfoHash);
    EXPECT_EQ(fields.peerId, kPeer);
}

TEST(WireHandshake, WrongHeaderFailsAsSoonAsSeen) {
    std::string hs = BuildHandshake(ReservedBytes(false), kInfoHash, kPeer);
    HandshakeFields fields;
    std::string early = hs.substr(0, 19);
    early[18] = 'X';
    EXPECT_EQ(ParseHandshake(early, fields), HandshakeParse::Failed);
    hs[19] = 'X';
    EXPECT_EQ(ParseHandshake(hs, fields), HandshakeParse::Failed);
    EXPECT_EQ(ParseHandshake(hs.substr(0, 19), fields), HandshakeParse::NeedMore);
}

TEST(WireHandshake, ExtensionFlagAndShortFields) {
    EXPECT_EQ(ReservedBytes(false), std::string(8, '\0'));
    EXPECT_EQ(ReadExtensionFlag(ReservedBytes(false)), ExtensionFlag::No);
    EXPECT_EQ(ReadExtensionFlag(ReservedBytes(true)), ExtensionFlag::Yes);
    EXPECT_EQ(ReadExtensionFlag(std::string("\0\0\0\0\0\x10\0\x05", 8)), ExtensionFlag::Unchanged);
    EXPECT_EQ(ReadExtensionFlag(std::string(7, '\0')), ExtensionFlag::Unchanged);
    EXPECT_EQ(ReadExtensionFlag(std::string("\x01\0\0\0\0\x10\0\0", 8)), ExtensionFlag::Unchanged);
    const std::string hs = BuildHandshake("", "short", std::string(25, 'p'));
    ASSERT_EQ(hs.size(), kHandshakeLength);
    EXPECT_EQ(hs.substr(28, 20), "short" + std::string(15, '\0'));
    EXPECT_EQ(hs.substr(48), std::string(20, 'p'));
}

TEST(WireCut, KeepsAnIncompleteTail) {
    std::string input = FrameMessage(BuildHave(7)) + FrameMessage("") + std::string("\0\0\0", 3);
    std::vector<std::string> out{"earlier"};
    size_t cut = 99;
    EXPECT_EQ(CutMessages(input, 100, out, cut), CutResult::Ok);
    EXPECT_EQ(cut, 2u);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], BuildHave(7));
    EXPECT_EQ(out[2], "");  // keep-alive
    EXPECT_EQ(input, std::string("\0\0\0", 3));

    input += std::string("\x05", 1) + "abcd";  // a length of 5 with 4 bytes of it
    EXPECT_EQ(CutMessages(input, 100, out, cut), CutResult::Ok);
    EXPECT_EQ(cut, 0u);
    EXPECT_EQ(input.size(), 8u);
}

TEST(WireCut, TooLongIsRefusedWithoutWaiting) {
    std::string input = FrameMessage("ab");
    AppendU32(input, 101);
    std::vector<std::string> out;
    size_t cut = 0;
    EXPECT_EQ(CutMessages(input, 100, out, cut), CutResult::TooLong);
    EXPECT_EQ(cut, 1u);
    EXPECT_EQ(input.size(), 4u);
    std::string exact = FrameMessage(std::string(100, 'x'));
    EXPECT_EQ(CutMessages(exact, 100, out, cut), CutResult::Ok);
    EXPECT_EQ(out.back().size(), 100u);
    EXPECT_GT(MaxMessageLength(0), (1u << 20) + 9);
    EXPECT_EQ(MaxMessageLength(UINT32_MAX), UINT32_MAX);
}

// Every decoded field on one line, the data shown by its first bytes and its size.
std::string Fields(std::string_view message) {
    WireMessage m;
    if (DecodeMessage(message, m) != DecodeStatus::Ok) {
        return "not ok";
    }
    return std::to_string(m.id) + " " + std::to_string(m.index) + " " + std::to_string(m.begin) +
           " " + std::to_string(m.length) + " " + std::string(m.data.substr(0, 8)) + "/" +
           std::to_string(m.data.size());
}

TEST(WireDecode, BuildersRoundTripThroughCutterAndDecoder) {
    const std::string slice(kSliceSize, 's');
    std::string stream =
        FrameMessage(BuildSimple(kUnchoke)) + FrameMessage(BuildHave(0xA1B2C3D4)) +
        FrameMessage(BuildBitfield("\xF0\x01")) + FrameMessage(BuildRequest(3, 16384, 16384)) +
        FrameMessage(BuildCancel(4, 5, 6)) + FrameMessage(BuildExtension(2, "d1:ai1ee"));
    AppendPieceMessage(stream, 9, 32768, slice);
    std::vector<std::string> out;
    size_t cut = 0;
    ASSERT_EQ(CutMessages(stream, MaxMessageLength(2), out, cut), CutResult::Ok);
    ASSERT_EQ(cut, 7u);
    EXPECT_TRUE(stream.empty());
    EXPECT_EQ(out[6], BuildPiece(9, 32768, slice));

    EXPECT_EQ(Fields(out[0]), "1 0 0 0 /0");
    EXPECT_EQ(Fields(out[1]), "4 2712847316 0 0 /0");
    EXPECT_EQ(Fields(out[2]), "5 0 0 0 \xF0\x01/2");
    EXPECT_EQ(Fields(out[3]), "6 3 16384 16384 /0");
    EXPECT_EQ(Fields(out[4]), "8 4 5 6 /0");
    EXPECT_EQ(Fields(out[5]), "9 2 0 0 d1:ai1ee/8");
    EXPECT_EQ(Fields(out[6]), "7 9 32768 0 ssssssss/16384");  // N - 9 bytes of data
}

TEST(WireDecode, HostileShapes) {
    WireMessage msg;
    EXPECT_EQ(DecodeMessage("", msg), DecodeStatus::KeepAlive);
    EXPECT_EQ(DecodeMessage(std::string(1, char(20)), msg), DecodeStatus::Ignored);
    EXPECT_EQ(DecodeMessage(std::string(1, char(200)) + "xxxx", msg), DecodeStatus::Ignored);
    EXPECT_EQ(msg.id, 200 - 256);
    EXPECT_EQ(DecodeMessage(BuildHave(1).substr(0, 4), msg), DecodeStatus::Malformed);
    EXPECT_EQ(DecodeMessage(BuildRequest(1, 2, 3).substr(0, 12), msg), DecodeStatus::Malformed);
    EXPECT_EQ(DecodeMessage(BuildCancel(1, 2, 3).substr(0, 12), msg), DecodeStatus::Malformed);
    EXPECT_EQ(DecodeMessage(BuildPiece(1, 2, "").substr(0, 8), msg), DecodeStatus::Malformed);
    EXPECT_EQ(DecodeMessage(std::string(1, char(kExtension)), msg), DecodeStatus::Malformed);

    EXPECT_EQ(Fields(BuildPiece(1, 2, "")), "7 1 2 0 /0");
    EXPECT_EQ(Fields(BuildHave(5) + "junk"), "4 5 0 0 /0");
    EXPECT_EQ(Fields(BuildExtension(3, "")), "9 3 0 0 /0");
}

}  // namespace
}  // namespace velbrook
