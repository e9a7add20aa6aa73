// Names and comments: UTF-8 when the archive says so or when the bytes can only
// be UTF-8, else the OEM code page of the machine reading them, which is what
// the writer's DOS or Windows used for names without the UTF-8 flag.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/format/zip/zip_internal.h"

namespace cindral::format::zip {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void AppendCodePoint(std::u16string& out, uint32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<char16_t>(code_point));
    return;
  }
  code_point -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
}

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

enum class Utf8Form { kWellFormed, kIllFormed };

// Each ill-formed sequence (its longest valid prefix, or one stray byte)
// becomes one U+FFFD, as the Unicode standard recommends.
std::u16string DecodeUtf8(std::string_view bytes, Utf8Form& form) {
  form = Utf8Form::kWellFormed;
  std::u16string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t lead = static_cast<uint8_t>(bytes[i++]);
    if (lead < 0x80) {
      out.push_back(lead);
      continue;
    }
    size_t length;
    uint32_t code_point;
    uint8_t second_low = 0x80, second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code_point = lead & 0x0F;
      if (lead == 0xE0) second_low = 0xA0;   // overlong
      if (lead == 0xED) second_high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code_point = lead & 0x07;
      if (lead == 0xF0) second_low = 0x90;   // overlong
      if (lead == 0xF4) second_high = 0x8F;  // beyond U+10FFFF
    } else {
      out.push_back(kReplacement);
      form = Utf8Form::kIllFormed;
      continue;
    }
    size_t taken = 1;
    for (; taken < length && i < bytes.size(); ++taken, ++i) {
      const uint8_t byte = static_cast<uint8_t>(bytes[i]);
      const bool fits =
          taken == 1 ? byte >= second_low && byte <= second_high : IsContinuation(byte);
      if (!fits) break;
      code_point = code_point << 6 | (byte & 0x3F);
    }
    if (taken == length) {
      AppendCodePoint(out, code_point);
    } else {
      out.push_back(kReplacement);
      form = Utf8Form::kIllFormed;
    }
  }
  return out;
}

}  // namespace

std::u16string DecodeUtf8(std::string_view bytes) {
  Utf8Form form;
  return DecodeUtf8(bytes, form);
}

// Writers on Linux and macOS (Info-ZIP, jar tools, minizip) store UTF-8
// without saying so. Text in a single-byte code page almost never forms
// well-formed multi-byte UTF-8 sequences, so such bytes are taken as UTF-8;
// pure ASCII reads the same either way.
std::u16string DecodeUnflaggedText(std::string_view bytes, const OemTextDecoder& oem) {
  const bool has_multibyte =
      std::any_of(bytes.begin(), bytes.end(), [](char c) { return (uint8_t(c) & 0x80) != 0; });
  if (has_multibyte) {
    Utf8Form form;
    std::u16string text = DecodeUtf8(bytes, form);
    if (form == Utf8Form::kWellFormed) return text;
  }
  return oem ? oem(bytes) : DecodeCp437(bytes);
}

std::u16string DecodeCp437(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const uint8_t byte = static_cast<uint8_t>(c);
    out.push_back(byte < 0x80 ? byte : kCp437High[byte - 0x80]);
  }
  return out;
}

// Unpaired surrogates become U+FFFD.
std::string EncodeUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code_point = text[i];
    if (code_point >= 0xD800 && code_point <= 0xDFFF) {
      const bool paired = code_point <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                          text[i + 1] <= 0xDFFF;
      if (paired) {
        code_point = 0x10000 + ((code_point - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        code_point = kReplacement;
      }
    }
    if (code_point < 0x80) {
      out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
      out.push_back(static_cast<char>(0xC0 | code_point >> 6));
      out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | code_point >> 12));
      out.push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | code_point >> 18));
      out.push_back(static_cast<char>(0x80 | (code_point >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
  }
  return out;
}

}  // namespace cindral::format::zip
