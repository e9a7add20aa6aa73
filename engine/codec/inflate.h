// Raw Deflate and Deflate64 decoding. Portable: no platform header may be
// included here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/codec/stream.h"

namespace cindral::codec {

struct FastBits;

// Deflate64 differs from Deflate only in its 64 KiB window, in length code 285
// (base 3 with 16 extra bits) and in distance codes 30 and 31.
enum class DeflateVariant { kDeflate, kDeflate64 };

// Pulls one raw stream from source and yields its decoded bytes. Read throws
// DataError for an invalid stream and UnexpectedEnd when source ends first; it
// returns 0 once the final block has been decoded.
class InflateDecoder final : public InStream {
 public:
  InflateDecoder(InStream& source, DeflateVariant variant);
  ~InflateDecoder() override;
  InflateDecoder(const InflateDecoder&) = delete;
  InflateDecoder& operator=(const InflateDecoder&) = delete;

  size_t Read(uint8_t* data, size_t size) override;

  // Bytes of source the stream occupied, exact (excluding any read-ahead),
  // valid once Read returned 0; lets a container see data after the stream's
  // end.
  uint64_t InputConsumed() const { return input_consumed_; }

 private:
  enum class State { kBlockHeader, kStored, kHuffman, kDone, kFailed };

  size_t ReadDirect(uint8_t* data, size_t size);
  void UseOwnBuffer(const uint8_t* history, size_t size);
  void Decode();
  void ReadBlockHeader();
  void ReadDynamicTables();
  void UseFixedTables();
  void CopyStored();
  void DecodeHuffman();
  size_t FastInputEnd() const;
  FastBits BeginFast() const;
  void EndFast(FastBits reader, const uint8_t* out);
  [[noreturn]] void FailFast(FastBits reader, unsigned code_bits, const char* what) const;
  template <DeflateVariant kVariant>
  bool DecodeFastOnThisCpu();
  template <DeflateVariant kVariant>
  bool DecodeFastWithBmi2();
  template <DeflateVariant kVariant>
  bool DecodeFast();
  bool DecodeNearOutputEnd();
  bool CopyPendingMatch();
  void EndBlock();

  bool FillInput();
  void RefillBits();
  uint32_t ReadBits(unsigned count);
  uint32_t DecodeSymbol(const uint32_t* table, unsigned table_bits);
  void DropToByteBoundary();
  uint8_t ReadAlignedByte();

  InStream& source_;
  const DeflateVariant variant_;
  State state_ = State::kBlockHeader;
  bool final_block_ = false;
  bool fixed_tables_built_ = false;

  // Input read ahead from source. The 8 bytes before in_pos_ survive each
  // refill so that whole bytes still held in the bit buffer can be given back.
  std::unique_ptr<uint8_t[]> in_;
  size_t in_pos_ = 0;
  size_t in_end_ = 0;
  bool source_ended_ = false;
  uint64_t source_bytes_read_ = 0;
  uint64_t input_consumed_ = 0;

  // Bits not yet consumed, least significant first. Bits above bit_count_ are
  // either zero or the true next bits of the input.
  uint64_t bit_buffer_ = 0;
  unsigned bit_count_ = 0;

  // Decoded data: the last window's worth of history followed by new output.
  // Output goes to out_base_, which is the caller's buffer during a first
  // read decoded in place, then out_ (null until the stream needs it).
  std::unique_ptr<uint8_t[]> out_;
  uint8_t* out_base_ = nullptr;
  size_t out_limit_ = 0;
  size_t out_pos_ = 0;
  size_t read_pos_ = 0;

  uint32_t stored_remaining_ = 0;
  uint32_t pending_length_ = 0;
  uint32_t pending_distance_ = 0;

  std::unique_ptr<uint32_t[]> litlen_table_;
  std::unique_ptr<uint32_t[]> distance_table_;
};

}  // namespace cindral::codec
