// A file's version resource, as Explorer's properties page reads it.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace cindral::testing {

struct VersionResource {
  VS_FIXEDFILEINFO fixed{};
  // Empty when the US English string table has no ProductVersion.
  std::wstring product_version;
};

// Nothing when the file carries no version resource at all.
inline std::optional<VersionResource> ReadVersionResource(const std::filesystem::path& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::string data(size, '\0');
  if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return std::nullopt;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
      fixed_size < sizeof(VS_FIXEDFILEINFO)) {
    return std::nullopt;
  }
  VersionResource version;
  version.fixed = *fixed;
  wchar_t* text = nullptr;
  UINT text_size = 0;
  if (VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\ProductVersion",
                     reinterpret_cast<void**>(&text), &text_size) &&
      text != nullptr) {
    version.product_version = text;
  }
  return version;
}

}  // namespace cindral::testing
