#include "common/archive_names.h"

namespace cindral {
namespace {

bool IsAsciiLetter(wchar_t unit) {
  return (unit >= L'a' && unit <= L'z') || (unit >= L'A' && unit <= L'Z');
}

// The last component as Windows paths read: after a drive's root name and the
// last separator, and ending before an alternate data stream's colon.
std::wstring_view LastComponent(std::wstring_view path) {
  if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == L':') path.remove_prefix(2);
  const size_t separator = path.find_last_of(L"\\/");
  if (separator != std::wstring_view::npos) path.remove_prefix(separator + 1);
  const size_t colon = path.find(L':');
  if (colon != std::wstring_view::npos) path = path.substr(0, colon);
  return path;
}

std::wstring_view Extension(std::wstring_view component) {
  if (component == L"." || component == L"..") return {};
  const size_t dot = component.rfind(L'.');
  if (dot == std::wstring_view::npos || dot == 0) return {};
  return component.substr(dot);
}

bool EqualsLoweredAscii(std::wstring_view text, std::wstring_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    wchar_t unit = text[i];
    if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
    if (unit != lower[i]) return false;
  }
  return true;
}

}  // namespace

bool IsSupportedArchiveName(std::wstring_view path) {
  const std::wstring_view extension = Extension(LastComponent(path));
  return EqualsLoweredAscii(extension, L".zip") || EqualsLoweredAscii(extension, L".7z");
}

}  // namespace cindral
