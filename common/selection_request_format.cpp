#include "common/selection_request_format.h"

#include <cstdint>
#include <stdexcept>

namespace cindral {
namespace {

constexpr uint32_t kSignature = 0x4B565231;
constexpr uint32_t kKindExtract = 0;
constexpr uint32_t kKindPack = 1;
constexpr uint32_t kMaxPaths = 100000;
constexpr uint32_t kMaxPathLength = 32767;

void WriteUInt32(std::ostream& stream, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                         static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  stream.write(bytes, sizeof bytes);
}

// A field cut short keeps the bytes that are there; the rest stay zero, so a
// truncated header is judged by what it holds.
uint32_t ReadUInt32(std::istream& stream) {
  unsigned char bytes[4] = {};
  stream.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

}  // namespace

void WriteSelectionRequestTo(std::ostream& stream, bool pack,
                             const std::vector<std::wstring>& paths) {
  WriteUInt32(stream, kSignature);
  WriteUInt32(stream, pack ? kKindPack : kKindExtract);
  WriteUInt32(stream, static_cast<uint32_t>(paths.size()));
  for (const std::wstring& item : paths) {
    WriteUInt32(stream, static_cast<uint32_t>(item.size()));
    for (const wchar_t unit : item) {
      const char bytes[2] = {static_cast<char>(unit), static_cast<char>(unit >> 8)};
      stream.write(bytes, sizeof bytes);
    }
  }
}

SelectionRequest ReadSelectionRequestFrom(std::istream& stream) {
  const uint32_t signature = ReadUInt32(stream);
  const uint32_t kind = ReadUInt32(stream);
  const uint32_t count = ReadUInt32(stream);
  if (signature != kSignature || kind > kKindPack || count == 0 || count > kMaxPaths)
    throw std::runtime_error("Invalid selection request.");

  SelectionRequest request;
  request.pack = kind == kKindPack;
  request.paths.reserve(count);
  for (uint32_t index = 0; index < count; ++index) {
    const uint32_t length = ReadUInt32(stream);
    if (length == 0 || length > kMaxPathLength) throw std::runtime_error("Invalid path length.");

    std::wstring item(length, L'\0');
    for (wchar_t& unit : item) {
      unsigned char bytes[2] = {};
      stream.read(reinterpret_cast<char*>(bytes), sizeof bytes);
      unit = static_cast<wchar_t>(bytes[0] | bytes[1] << 8);
    }
    if (!stream) throw std::runtime_error("Invalid selection path.");
    if (item.find(L'\0') != std::wstring::npos) throw std::runtime_error("Invalid selection path.");
    request.paths.push_back(std::move(item));
  }
  return request;
}

}  // namespace cindral
