#include "engine/codec/stream.h"

#include <gtest/gtest.h>

#include <vector>

namespace cindral::codec {
namespace {

TEST(MemoryInStream, ReadsShortOnlyAtTheEnd) {
  const std::vector<uint8_t> bytes{1, 2, 3, 4, 5};
  MemoryInStream stream(bytes);
  uint8_t buffer[4];
  EXPECT_EQ(stream.Read(buffer, 4), 4u);
  EXPECT_EQ(buffer[3], 4);
  EXPECT_EQ(stream.Read(buffer, 4), 1u);
  EXPECT_EQ(buffer[0], 5);
  EXPECT_EQ(stream.Read(buffer, 4), 0u);
}

TEST(SkipBytes, ThrowsWhenTheDataEndsFirst) {
  const std::vector<uint8_t> bytes(20000, 7);
  MemoryInStream stream(bytes);
  SkipBytes(stream, 19999);
  uint8_t last = 0;
  EXPECT_EQ(stream.Read(&last, 1), 1u);
  EXPECT_EQ(last, 7);
  MemoryInStream short_stream(bytes);
  EXPECT_THROW(SkipBytes(short_stream, 20001), UnexpectedEnd);
}

}  // namespace
}  // namespace cindral::codec
