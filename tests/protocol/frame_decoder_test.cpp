#include "hex_bytes.h"
#include "wire_primitives.h"

using rapiwire::FrameDecoder;
using Status = rapiwire::FrameDecoder::Status;

namespace {

// Two packets as they travel: 3-byte payload, then an empty one.
const char* const kTwoFrames = "03000000 0a0b0c  00000000";

TEST(FrameTest, PrefixesPayloadWithLittleEndianByteCount) {
  EXPECT_EQ(rapiwire::frame(hexBytes("0a0b0c")), hexBytes("03000000 0a0b0c"));
  EXPECT_EQ(rapiwire::frame({}), hexBytes("00000000"));
}

TEST(FrameDecoderTest, ByteByByteDeliveryYieldsEachFrameOnlyWhenComplete) {
  const Bytes stream = hexBytes(kTwoFrames);
  FrameDecoder decoder;
  std::vector<Bytes> frames;
  for (size_t i = 0; i < stream.size(); ++i) {
    decoder.feed(&stream[i], 1);
    Bytes payload;
    Status status = decoder.next(payload);
    ASSERT_NE(status, Status::Malformed) << "at byte " << i;
    if (status == Status::Frame) frames.push_back(payload);
    // Bytes 0..5 are the first frame's header and partial body.
    if (i < 6) {
      EXPECT_EQ(status, Status::NeedMore) << "at byte " << i;
    }
  }
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], hexBytes("0a0b0c"));
  EXPECT_TRUE(frames[1].empty());
  EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(FrameDecoderTest, TwoFramesInOneChunkComeOutInOrder) {
  const Bytes stream = hexBytes(kTwoFrames);
  FrameDecoder decoder;
  decoder.feed(stream.data(), stream.size());
  Bytes payload;
  ASSERT_EQ(decoder.next(payload), Status::Frame);
  EXPECT_EQ(payload, hexBytes("0a0b0c"));
  ASSERT_EQ(decoder.next(payload), Status::Frame);
  EXPECT_TRUE(payload.empty());
  EXPECT_EQ(decoder.next(payload), Status::NeedMore);
  EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(FrameDecoderTest, PartialHeaderAndPartialBodyNeedMore) {
  FrameDecoder decoder;
  Bytes payload;
  const Bytes header = hexBytes("050000");
  decoder.feed(header.data(), header.size());
  EXPECT_EQ(decoder.next(payload), Status::NeedMore);

  const Bytes rest = hexBytes("00 01020304");
  decoder.feed(rest.data(), rest.size());
  EXPECT_EQ(decoder.next(payload), Status::NeedMore);
  EXPECT_EQ(decoder.buffered(), 8u) << "nothing may be consumed before the frame is whole";

  const Bytes last = hexBytes("05 ff");
  decoder.feed(last.data(), last.size());
  ASSERT_EQ(decoder.next(payload), Status::Frame);
  EXPECT_EQ(payload, hexBytes("0102030405"));
  EXPECT_EQ(decoder.buffered(), 1u) << "the next frame's first byte stays buffered";
}

TEST(FrameDecoderTest, AFrameSplitBehindATakenOneJoinsItsRest) {
  // One delivery ends a frame and starts the next; the rest of the second
  // comes later, after the first has been taken.
  FrameDecoder decoder;
  Bytes payload;
  const Bytes first = hexBytes("02000000 aabb  03000000 01");
  decoder.feed(first.data(), first.size());
  ASSERT_EQ(decoder.next(payload), Status::Frame);
  EXPECT_EQ(payload, hexBytes("aabb"));
  EXPECT_EQ(decoder.next(payload), Status::NeedMore);
  EXPECT_EQ(decoder.buffered(), 5u);

  const Bytes rest = hexBytes("0203  00000000");
  decoder.feed(rest.data(), rest.size());
  ASSERT_EQ(decoder.next(payload), Status::Frame);
  EXPECT_EQ(payload, hexBytes("010203"));
  ASSERT_EQ(decoder.next(payload), Status::Frame);
  EXPECT_TRUE(payload.empty());
  EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(FrameDecoderTest, LengthAboveCapIsMalformedBeforeItsBytesArrive) {
  struct Case {
    uint32_t length;
    Status expected;
  };
  const Case cases[] = {
      {rapiwire::kMaxFrameBytes, Status::NeedMore},
      {rapiwire::kMaxFrameBytes + 1, Status::Malformed},
      {0xffffffffu, Status::Malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    FrameDecoder decoder;
    Bytes header;
    appendU32(header, c.length);
    decoder.feed(header.data(), header.size());
    Bytes payload;
    EXPECT_EQ(decoder.next(payload), c.expected);
    EXPECT_EQ(decoder.next(payload), c.expected) << "the verdict must not change on asking again";
  }
}

} // namespace
