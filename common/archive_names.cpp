#include "common/archive_names.h"

namespace cindral {
namespace {

bool IsAsciiLetter(wchar_t unit) {
  return (unit >= L'a' && unit <= L'z') || (unit >= L'A' && unit <= L'Z');
}

bool IsSeparator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// The drive (C:) or share (\\server\share) a path starts with; the name
// never reaches into it.
size_t RootLength(std::wstring_view path) {
  if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == L':') return 2;
  if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return 0;
  const size_t server_end = path.find_first_of(L"\\/", 2);
  if (server_end == std::wstring_view::npos) return path.size();
  const size_t share_end = path.find_first_of(L"\\/", server_end + 1);
  return share_end == std::wstring_view::npos ? path.size() : share_end;
}

// Offset of the last component: after the root and the last separator.
size_t NameOffset(std::wstring_view path) {
  const size_t root = RootLength(path);
  const size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring_view::npos || separator < root) return root;
  return separator + 1;
}

// The name up to an alternate data stream's colon.
std::wstring_view WithoutStream(std::wstring_view name) { return name.substr(0, name.find(L':')); }

std::wstring_view LastComponent(std::wstring_view path) {
  return WithoutStream(path.substr(NameOffset(path)));
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

PathNameParts SplitPathName(std::wstring_view path) {
  PathNameParts parts;
  parts.name = path.substr(NameOffset(path));
  const std::wstring_view component = WithoutStream(parts.name);
  parts.stem = component.substr(0, component.size() - Extension(component).size());
  return parts;
}

std::wstring_view ParentFolderName(std::wstring_view path) {
  const size_t offset = NameOffset(path);
  if (offset <= RootLength(path)) return {};
  return SplitPathName(path.substr(0, offset - 1)).name;
}

}  // namespace cindral
