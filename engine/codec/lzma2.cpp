#include "engine/codec/lzma2.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/codec/lzma.h"

namespace cindral::codec {
namespace {

constexpr size_t kMaxPacked = size_t{1} << 16;
constexpr size_t kOutputStep = size_t{1} << 18;

uint64_t DictionarySize(uint8_t property) {
  if (property > 40) throw Unsupported("bad LZMA2 dictionary size");
  if (property == 40) return UINT32_MAX;
  return uint64_t{2 | (property & 1u)} << (property / 2 + 11);
}

uint8_t ReadByte(InStream& source) {
  uint8_t byte;
  if (source.Read(&byte, 1) != 1) throw UnexpectedEnd("unexpected end of LZMA2 data");
  return byte;
}

void ReadExactly(InStream& source, uint8_t* data, size_t size) {
  if (source.Read(data, size) != size) throw UnexpectedEnd("unexpected end of LZMA2 data");
}

// Decodes one LZMA2 stream on the calling thread.
class Lzma2Stream final : public InStream {
 public:
  Lzma2Stream(InStream& source, uint64_t dictionary)
      : source_(source), core_(dictionary), packed_(kMaxPacked + LzmaCore::kInputSlack) {}

  size_t Read(uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const size_t available = core_.position() - read_pos_;
      if (available != 0) {
        const size_t count = std::min(available, size - done);
        std::memcpy(data + done, core_.window() + read_pos_, count);
        read_pos_ += count;
        done += count;
        continue;
      }
      if (finished_) break;
      DecodeMore();
    }
    return done;
  }

 private:
  enum class Chunk { kNone, kStored, kLzma };

  void StartChunk() {
    const uint8_t control = ReadByte(source_);
    if (control == 0) {
      finished_ = true;
      return;
    }
    uint8_t header[5];
    if (control < 0x80) {
      if (control > 2) throw DataError("bad LZMA2 chunk");
      if (control == 2 && need_level_ == 0xE0)
        throw DataError("LZMA2 stream lacks a dictionary reset");
      ReadExactly(source_, header, 2);
      if (control == 1) {
        core_.ResetDictionary();
        read_pos_ = 0;
        need_level_ = 0xC0;
      }
      chunk_ = Chunk::kStored;
      unpacked_left_ = (uint32_t{header[0]} << 8 | header[1]) + 1;
      return;
    }
    const bool has_properties = control >= 0xC0;
    ReadExactly(source_, header, has_properties ? 5 : 4);
    if ((control & 0xE0) < need_level_) throw DataError("LZMA2 chunk lacks a reset");
    need_level_ = 0;
    unpacked_left_ = (uint32_t{control & 0x1Fu} << 16 | uint32_t{header[0]} << 8 | header[1]) + 1;
    const size_t packed = (size_t{header[2]} << 8 | header[3]) + 1;
    if (control >= 0xE0) {
      core_.ResetDictionary();
      read_pos_ = 0;
    }
    if (has_properties) {
      unsigned d = header[4];
      if (d >= 9 * 5 * 5) throw Unsupported("bad LZMA2 properties");
      const unsigned lc = d % 9;
      d /= 9;
      const unsigned lp = d % 5;
      const unsigned pb = d / 5;
      if (lc + lp > 4 || pb > 4) throw Unsupported("bad LZMA2 properties");
      core_.SetProperties(lc, lp, pb);
    } else if (control >= 0xA0) {
      core_.ResetState();
    }
    if (packed < 5) throw DataError("bad LZMA2 chunk");
    ReadExactly(source_, packed_.data(), packed);
    std::memset(packed_.data() + packed, 0, LzmaCore::kInputSlack);
    packed_end_ = packed;
    const uint8_t* in = packed_.data();
    core_.StartRange(in);
    in_pos_ = 5;
    chunk_ = Chunk::kLzma;
  }

  void DecodeMore() {
    if (chunk_ == Chunk::kNone) {
      StartChunk();
      if (finished_) return;
    }
    const size_t room = core_.Room();
    read_pos_ = core_.position();
    const size_t step = std::min({room, kOutputStep, size_t{unpacked_left_}});
    if (chunk_ == Chunk::kStored) {
      ReadExactly(source_, core_.write_pointer(), step);
      core_.Advance(step);
    } else {
      const uint8_t* const base = packed_.data();
      const uint8_t* in = base + in_pos_;
      const LzmaCore::Stop stop = core_.Decode(in, base + packed_end_ + 1, read_pos_ + step);
      in_pos_ = static_cast<size_t>(in - base);
      if (in_pos_ > packed_end_ || core_.position() != read_pos_ + step)
        throw DataError("LZMA2 chunk overrun");
      if (stop == LzmaCore::Stop::kEndMarker) throw DataError("end marker in LZMA2 chunk");
    }
    unpacked_left_ -= static_cast<uint32_t>(step);
    if (unpacked_left_ != 0) return;
    if (chunk_ == Chunk::kLzma && (in_pos_ != packed_end_ || core_.pending_match() != 0))
      throw DataError("LZMA2 chunk size mismatch");
    chunk_ = Chunk::kNone;
  }

  InStream& source_;
  LzmaCore core_;
  std::vector<uint8_t> packed_;
  size_t packed_end_ = 0, in_pos_ = 0;
  Chunk chunk_ = Chunk::kNone;
  uint32_t unpacked_left_ = 0;
  unsigned need_level_ = 0xE0;
  bool finished_ = false;
  size_t read_pos_ = 0;
};

}  // namespace

Lzma2Decoder::Lzma2Decoder(InStream& source, uint8_t dictionary_property, unsigned threads) {
  const uint64_t dictionary = DictionarySize(dictionary_property);
  (void)threads;
  impl_ = std::make_unique<Lzma2Stream>(source, dictionary);
}

Lzma2Decoder::~Lzma2Decoder() = default;

size_t Lzma2Decoder::Read(uint8_t* data, size_t size) { return impl_->Read(data, size); }

}  // namespace cindral::codec
