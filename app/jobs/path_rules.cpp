#include "app/jobs/path_rules.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

namespace cindral {
namespace {

constexpr size_t kLongestArchivePath = 32699;
constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kUncPrefix = L"\\\\";

[[noreturn]] void Refuse(const char* message) { throw std::runtime_error(message); }

bool IsReservedCharacter(wchar_t unit) {
  return unit == L'<' || unit == L'>' || unit == L'"' || unit == L'|' || unit == L'?' ||
         unit == L'*';
}

bool IsDeviceDigit(wchar_t unit) {
  return (unit >= L'0' && unit <= L'9') || unit == L'\u00B9' || unit == L'\u00B2' ||
         unit == L'\u00B3';
}

// Only the ASCII letters change, as the C locale's toupper does; a locale
// that also folded other letters would refuse names Windows accepts.
wchar_t UpperAscii(wchar_t unit) {
  return unit >= L'a' && unit <= L'z' ? unit - L'a' + L'A' : unit;
}

bool IsDeviceName(std::wstring_view component) {
  // Windows drops the spaces before the extension when it looks for a
  // device: "CON .txt" and "nul  .tar.gz" open the device too.
  std::wstring base(component.substr(0, component.find(L'.')));
  base.erase(base.find_last_not_of(L' ') + 1);
  std::transform(base.begin(), base.end(), base.begin(), UpperAscii);
  constexpr std::array<std::wstring_view, 6> kDevices = {L"CON", L"PRN",    L"AUX",
                                                         L"NUL", L"CONIN$", L"CONOUT$"};
  if (std::find(kDevices.begin(), kDevices.end(), base) != kDevices.end()) return true;
  if (base.size() != 4 || !IsDeviceDigit(base[3])) return false;
  const std::wstring_view stem = std::wstring_view(base).substr(0, 3);
  return stem == L"COM" || stem == L"LPT";
}

void CheckComponent(std::wstring_view component) {
  if (component.empty() || component == L"." || component == L"..")
    Refuse("Unsafe archive path component.");
  if (component.back() == L'.' || component.back() == L' ')
    Refuse("Unsafe archive path component.");
  for (const wchar_t unit : component) {
    if (IsReservedCharacter(unit) || unit < 0x20) Refuse("Invalid archive filename.");
  }
  if (IsDeviceName(component)) Refuse("Windows device names are blocked.");
}

}  // namespace

size_t RootNameLength(std::wstring_view path) {
  size_t position = 0;
  int components = 0;
  if (path.starts_with(kLongUncPrefix)) {
    position = kLongUncPrefix.size();
    components = 2;
  } else if (path.starts_with(kLongPrefix)) {
    position = kLongPrefix.size();
    components = 1;
  } else if (path.starts_with(kUncPrefix)) {
    position = kUncPrefix.size();
    components = 2;
  } else {
    return path.size() >= 2 && path[1] == L':' ? 2 : 0;
  }
  for (int index = 0;; ++index) {
    const size_t separator = path.find(L'\\', position);
    if (separator == std::wstring_view::npos) return path.size();
    if (index + 1 == components) return separator;
    position = separator + 1;
  }
}

std::wstring NormalizeLexically(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  const size_t root_length = RootNameLength(path);
  const bool rooted = root_length < path.size() && path[root_length] == L'\\';
  std::vector<std::wstring_view> components;
  const std::wstring_view rest = std::wstring_view(path).substr(root_length);
  for (size_t start = 0; start < rest.size();) {
    const size_t separator = std::min(rest.find(L'\\', start), rest.size());
    const std::wstring_view component = rest.substr(start, separator - start);
    start = separator + 1;
    if (component.empty() || component == L".") continue;
    if (component == L".." && !components.empty() && components.back() != L"..") {
      components.pop_back();
    } else if (component != L".." || !rooted) {
      components.push_back(component);
    }
  }
  std::wstring normal = path.substr(0, root_length);
  if (rooted) normal.push_back(L'\\');
  for (size_t index = 0; index < components.size(); ++index) {
    if (index != 0) normal.push_back(L'\\');
    normal.append(components[index]);
  }
  return normal;
}

std::wstring SanitizeArchivePath(std::wstring name) {
  if (name.empty() || name.size() > kLongestArchivePath) Refuse("Unsafe or empty archive path.");
  std::replace(name.begin(), name.end(), L'/', L'\\');
  if (name.front() == L'\\' || name.find(L':') != std::wstring::npos)
    Refuse("Absolute paths and alternate data streams are blocked.");

  std::wstring safe;
  safe.reserve(name.size());
  size_t start = 0;
  for (;;) {
    const size_t separator = std::min(name.find(L'\\', start), name.size());
    const std::wstring_view component = std::wstring_view(name).substr(start, separator - start);
    CheckComponent(component);
    if (!safe.empty()) safe.push_back(L'\\');
    safe.append(component);
    start = separator + 1;
    // One separator at the very end marks a directory entry, nothing more.
    if (start >= name.size()) break;
  }
  return safe;
}

}  // namespace cindral
