// BZip2 decoder: the .bz2 stream format, as stored by 7z (method 040202) and
// ZIP (method 12).
#pragma once

#include "engine/codec/stream.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace cindral::codec {

// A whole .bz2 stream ("BZh" + level, blocks, end-of-stream marker with
// combined CRC); also several concatenated streams (7z and some ZIP writers
// use that). Block CRCs and the combined CRC are checked: a mismatch is
// DataError.
class Bzip2Decoder final : public InStream {
 public:
  explicit Bzip2Decoder(InStream& source, unsigned threads = 1);
  ~Bzip2Decoder() override;
  size_t Read(uint8_t* data, size_t size) override;

 private:
  class BitReader;
  struct Block;
  class Parallel;
  struct Job;

  static void DecodeBlock(BitReader& in, Block& block, uint32_t capacity);
  bool StartStream();
  bool NextBlock();
  void FinishBlock();
  size_t Emit(uint8_t* data, size_t size);

  std::unique_ptr<Parallel> parallel_;
  std::unique_ptr<BitReader> bits_;
  std::unique_ptr<Block> block_;
  // Set while draining a block decoded by a worker: its bytes after the
  // inverse BWT, owned by job_.
  std::shared_ptr<Job> job_;
  const uint8_t* bytes_ = nullptr;
  unsigned level_ = 0;
  uint32_t stream_crc_ = 0;
  bool seen_stream_ = false;
  bool in_stream_ = false;
  bool finished_ = false;
  bool draining_ = false;

  // Output state of the block being drained: the inverse BWT walk and the
  // initial run-length stage.
  uint32_t position_ = 0;
  uint32_t remaining_ = 0;
  uint32_t repeat_ = 0;
  uint32_t run_ = 0;
  uint8_t last_ = 0;
  uint32_t block_crc_ = 0;
  uint32_t expected_crc_ = 0;
};

}  // namespace cindral::codec
