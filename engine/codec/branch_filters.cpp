#include "engine/codec/branch_filters.h"

#include <algorithm>
#include <cstring>

namespace cindral::codec {
namespace {

constexpr size_t kBufferSize = size_t{1} << 16;

uint32_t Load32Le(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint32_t Load32Be(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void Store32Le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Store32Be(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Each converter rewrites buf[0, size) for stream position pos and returns how
// many leading bytes are final; the rest waits for more data.

size_t ArmDecode(uint8_t* buf, size_t size, uint32_t pos) {
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    if (buf[i + 3] != 0xEB) continue;
    uint32_t target = (uint32_t{buf[i + 2]} << 16 | uint32_t{buf[i + 1]} << 8 | buf[i]) << 2;
    target = (target - (pos + static_cast<uint32_t>(i) + 8)) >> 2;
    buf[i + 2] = static_cast<uint8_t>(target >> 16);
    buf[i + 1] = static_cast<uint8_t>(target >> 8);
    buf[i] = static_cast<uint8_t>(target);
  }
  return i;
}

size_t ArmThumbDecode(uint8_t* buf, size_t size, uint32_t pos) {
  size_t i = 0;
  for (; i + 4 <= size; i += 2) {
    if ((buf[i + 1] & 0xF8) != 0xF0 || (buf[i + 3] & 0xF8) != 0xF8) continue;
    uint32_t target = ((uint32_t{buf[i + 1]} & 7) << 19 | uint32_t{buf[i]} << 11 |
                       (uint32_t{buf[i + 3]} & 7) << 8 | buf[i + 2])
                      << 1;
    target = (target - (pos + static_cast<uint32_t>(i) + 4)) >> 1;
    buf[i + 1] = static_cast<uint8_t>(0xF0 | ((target >> 19) & 7));
    buf[i] = static_cast<uint8_t>(target >> 11);
    buf[i + 3] = static_cast<uint8_t>(0xF8 | ((target >> 8) & 7));
    buf[i + 2] = static_cast<uint8_t>(target);
    i += 2;
  }
  return i;
}

size_t PpcDecode(uint8_t* buf, size_t size, uint32_t pos) {
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    if ((buf[i] >> 2) != 0x12 || (buf[i + 3] & 3) != 1) continue;
    const uint32_t target = (Load32Be(buf + i) & 0x03FFFFFC) - (pos + static_cast<uint32_t>(i));
    Store32Be(buf + i, 0x48000000 | (target & 0x03FFFFFC) | 1);
  }
  return i;
}

size_t SparcDecode(uint8_t* buf, size_t size, uint32_t pos) {
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    if (!((buf[i] == 0x40 && (buf[i + 1] & 0xC0) == 0x00) ||
          (buf[i] == 0x7F && (buf[i + 1] & 0xC0) == 0xC0)))
      continue;
    uint32_t target = Load32Be(buf + i) << 2;
    target = (target - (pos + static_cast<uint32_t>(i))) >> 2;
    target = (((0u - ((target >> 22) & 1)) << 22) & 0x3FFFFFFF) | (target & 0x3FFFFF) | 0x40000000;
    Store32Be(buf + i, target);
  }
  return i;
}

size_t Ia64Decode(uint8_t* buf, size_t size, uint32_t pos) {
  // Which of the three 41-bit slots of a bundle may hold a branch, by template.
  static constexpr uint8_t kBranchSlots[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                               4, 4, 6, 6, 0, 0, 7, 7, 4, 4, 0, 0, 4, 4, 0, 0};
  size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const uint32_t slots = kBranchSlots[buf[i] & 0x1F];
    for (unsigned slot = 0, bit_pos = 5; slot < 3; ++slot, bit_pos += 41) {
      if (((slots >> slot) & 1) == 0) continue;
      const size_t byte_pos = bit_pos >> 3;
      const unsigned bit_shift = bit_pos & 7;
      uint64_t raw = 0;
      for (unsigned j = 0; j < 6; ++j) raw |= uint64_t{buf[i + byte_pos + j]} << (8 * j);
      uint64_t instruction = raw >> bit_shift;
      if (((instruction >> 37) & 0xF) != 0x5 || ((instruction >> 9) & 0x7) != 0) continue;
      uint32_t target = static_cast<uint32_t>((instruction >> 13) & 0xFFFFF);
      target |= static_cast<uint32_t>((instruction >> 36) & 1) << 20;
      target <<= 4;
      target = (target - (pos + static_cast<uint32_t>(i))) >> 4;
      instruction &= ~(uint64_t{0x8FFFFF} << 13);
      instruction |= uint64_t{target & 0xFFFFF} << 13;
      instruction |= uint64_t{target & 0x100000} << (36 - 20);
      raw = (raw & ((uint64_t{1} << bit_shift) - 1)) | (instruction << bit_shift);
      for (unsigned j = 0; j < 6; ++j) buf[i + byte_pos + j] = static_cast<uint8_t>(raw >> (8 * j));
    }
  }
  return i;
}

size_t Arm64Decode(uint8_t* buf, size_t size, uint32_t pos) {
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    uint32_t instruction = Load32Le(buf + i);
    const uint32_t pc = pos + static_cast<uint32_t>(i);
    if ((instruction >> 26) == 0x25) {  // BL
      instruction = 0x94000000 | ((instruction - (pc >> 2)) & 0x03FFFFFF);
      Store32Le(buf + i, instruction);
    } else if ((instruction & 0x9F000000) == 0x90000000) {  // ADRP
      const uint32_t page = ((instruction >> 29) & 3) | ((instruction >> 3) & 0x001FFFFC);
      // Only targets within +-512 MiB are converted, which keeps the
      // conversion reversible for the sign-extended high bits.
      if ((page + 0x00020000) & 0x001C0000) continue;
      const uint32_t target = page - (pc >> 12);
      instruction &= 0x9000001F;
      instruction |= (target & 3) << 29;
      instruction |= (target & 0x0003FFFC) << 3;
      instruction |= (0u - (target & 0x00020000)) & 0x00E00000;
      Store32Le(buf + i, instruction);
    }
  }
  return i;
}

size_t RiscVDecode(uint8_t* buf, size_t size, uint32_t pos) {
  if (size < 8) return 0;
  const size_t last = size - 8;
  size_t i = 0;
  for (; i <= last; i += 2) {
    uint32_t instruction = buf[i];
    if (instruction == 0xEF) {  // JAL with rd = ra
      const uint32_t b1 = buf[i + 1];
      if ((b1 & 0x0D) != 0) continue;
      const uint32_t b2 = buf[i + 2];
      const uint32_t b3 = buf[i + 3];
      uint32_t target = ((b1 & 0xF0) << 13) | (b2 << 9) | (b3 << 1);
      target -= pos + static_cast<uint32_t>(i);
      buf[i + 1] = static_cast<uint8_t>((b1 & 0x0F) | ((target >> 8) & 0xF0));
      buf[i + 2] = static_cast<uint8_t>(((target >> 16) & 0x0F) | ((target >> 7) & 0x10) |
                                        ((target << 4) & 0xE0));
      buf[i + 3] = static_cast<uint8_t>(((target >> 4) & 0x7F) | ((target >> 13) & 0x80));
      i += 4 - 2;
    } else if ((instruction & 0x7F) == 0x17) {  // AUIPC
      instruction |=
          uint32_t{buf[i + 1]} << 8 | uint32_t{buf[i + 2]} << 16 | uint32_t{buf[i + 3]} << 24;
      uint32_t second;
      if (instruction & 0xE80) {
        // A plain AUIPC pair: convert only when the next instruction uses its
        // result register.
        second = Load32Le(buf + i + 4);
        if (((instruction << 8) ^ (second - 3)) & 0xF8003) {
          i += 6 - 2;
          continue;
        }
        const uint32_t target = (instruction & 0xFFFFF000) + (second >> 20);
        instruction = 0x17 | (2 << 7) | (second << 12);
        second = target;
      } else {
        // The encoder's special form: rd is x0 or x2 and the pair's register
        // and the absolute target follow.
        const uint32_t second_rs1 = instruction >> 27;
        if (static_cast<uint32_t>((instruction - 0x3117) << 18) >= (second_rs1 & 0x1D)) {
          i += 4 - 2;
          continue;
        }
        uint32_t target = Load32Be(buf + i + 4);
        target -= pos + static_cast<uint32_t>(i);
        second = (instruction >> 12) | (target << 20);
        instruction = 0x17 | (second_rs1 << 7) | ((target + 0x800) & 0xFFFFF000);
      }
      Store32Le(buf + i, instruction);
      Store32Le(buf + i + 4, second);
      i += 8 - 2;
    }
  }
  return i;
}

bool IsX86Boundary(uint8_t b) { return b == 0 || b == 0xFF; }

// The x86 converter remembers, across calls, where the last E8/E9 opcode was
// and which of the preceding bytes could start an address.
size_t X86Decode(uint8_t* buf, size_t size, uint32_t pos, uint32_t& prev_mask, uint32_t& prev_pos) {
  static constexpr bool kMaskAllowed[8] = {true, true, true, false, true, false, false, false};
  static constexpr uint32_t kMaskToBit[8] = {0, 1, 2, 2, 3, 3, 3, 3};
  if (size < 5) return 0;
  if (pos - prev_pos > 5) prev_pos = pos - 5;
  const size_t limit = size - 5;
  size_t i = 0;
  while (i <= limit) {
    if ((buf[i] & 0xFE) != 0xE8) {
      ++i;
      continue;
    }
    const uint32_t offset = pos + static_cast<uint32_t>(i) - prev_pos;
    prev_pos = pos + static_cast<uint32_t>(i);
    if (offset > 5) {
      prev_mask = 0;
    } else {
      for (uint32_t k = 0; k < offset; ++k) {
        prev_mask &= 0x77;
        prev_mask <<= 1;
      }
    }
    uint8_t b = buf[i + 4];
    if (IsX86Boundary(b) && kMaskAllowed[(prev_mask >> 1) & 7] && (prev_mask >> 1) < 0x10) {
      uint32_t source = Load32Le(buf + i + 1);
      uint32_t target;
      for (;;) {
        target = source - (pos + static_cast<uint32_t>(i) + 5);
        if (prev_mask == 0) break;
        const uint32_t index = kMaskToBit[prev_mask >> 1];
        b = static_cast<uint8_t>(target >> (24 - index * 8));
        if (!IsX86Boundary(b)) break;
        source = target ^ ((1u << (32 - index * 8)) - 1);
      }
      target = (target & 0x01FFFFFF) | (0u - ((target >> 24) & 1)) << 24;
      Store32Le(buf + i + 1, target);
      i += 5;
      prev_mask = 0;
    } else {
      ++i;
      prev_mask |= 1;
      if (IsX86Boundary(b)) prev_mask |= 0x10;
    }
  }
  return i;
}

}  // namespace

BranchDecoder::BranchDecoder(InStream& source, BranchFilter filter,
                             std::span<const uint8_t> properties)
    : source_(source), filter_(filter), buffer_(kBufferSize) {
  if (properties.size() >= 4) {
    position_ = Load32Le(properties.data());
  } else if (!properties.empty()) {
    throw Unsupported("bad branch filter properties");
  }
  x86_prev_pos_ = position_ - 5;
}

void BranchDecoder::Fill() {
  // Bytes the converter held back move to the front, then more input joins.
  const size_t kept = filled_ - converted_;
  std::memmove(buffer_.data(), buffer_.data() + converted_, kept);
  position_ += static_cast<uint32_t>(converted_);
  filled_ = kept;
  read_pos_ = 0;
  converted_ = 0;
  while (!source_done_ && filled_ < buffer_.size()) {
    const size_t want = buffer_.size() - filled_;
    const size_t got = source_.Read(buffer_.data() + filled_, want);
    filled_ += got;
    if (got < want) source_done_ = true;
  }
  uint8_t* const buf = buffer_.data();
  switch (filter_) {
    case BranchFilter::kX86:
      converted_ = X86Decode(buf, filled_, position_, x86_prev_mask_, x86_prev_pos_);
      break;
    case BranchFilter::kPpc:
      converted_ = PpcDecode(buf, filled_, position_);
      break;
    case BranchFilter::kIa64:
      converted_ = Ia64Decode(buf, filled_, position_);
      break;
    case BranchFilter::kArm:
      converted_ = ArmDecode(buf, filled_, position_);
      break;
    case BranchFilter::kArmThumb:
      converted_ = ArmThumbDecode(buf, filled_, position_);
      break;
    case BranchFilter::kSparc:
      converted_ = SparcDecode(buf, filled_, position_);
      break;
    case BranchFilter::kArm64:
      converted_ = Arm64Decode(buf, filled_, position_);
      break;
    case BranchFilter::kRiscV:
      converted_ = RiscVDecode(buf, filled_, position_);
      break;
  }
  // The tail too short for any instruction passes through unchanged.
  if (source_done_) converted_ = filled_;
}

size_t BranchDecoder::Read(uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    if (read_pos_ == converted_) {
      if (source_done_ && converted_ == filled_) break;
      Fill();
      if (converted_ == 0 && source_done_) break;
      continue;
    }
    const size_t count = std::min(converted_ - read_pos_, size - done);
    std::memcpy(data + done, buffer_.data() + read_pos_, count);
    read_pos_ += count;
    done += count;
  }
  return done;
}

}  // namespace cindral::codec
