// Fuzz input read as UTF-16 code units, little-endian, as Windows hands
// names and paths over; an odd last byte is left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::wstring UnitsOf(const uint8_t* data, size_t size) {
  std::wstring text(size / 2, L'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<wchar_t>(data[2 * i] | data[2 * i + 1] << 8);
  return text;
}
