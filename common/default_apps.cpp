#include "common/default_apps.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

#include "common/win_owners.h"

namespace cindral {
namespace {

constexpr DWORD kLongTextLength = 32768;
constexpr uint64_t kPassPause = 500;
constexpr uint64_t kWatchLimit = 299999;
constexpr uint64_t kWindowWait = 30000;
constexpr uint64_t kGrace = 2000;
constexpr uint64_t kSettled = 999;
constexpr uint64_t kCloseWait = 5000;

bool EqualsIgnoringCase(std::wstring_view left, std::wstring_view right) {
  return CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                              static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

bool IsSettingsProcess(DWORD process_id) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return false;
  std::vector<wchar_t> image(kLongTextLength);
  DWORD length = kLongTextLength;
  if (!QueryFullProcessImageNameW(process.Get(), 0, image.data(), &length)) return false;
  const std::wstring_view path(image.data(), length);
  const size_t separator = path.rfind(L'\\');
  const std::wstring_view name =
      separator == std::wstring_view::npos ? path : path.substr(separator + 1);
  return EqualsIgnoringCase(name, L"SystemSettings.exe");
}

DWORD WindowProcess(HWND window) {
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  return process_id;
}

bool BelongsToSettings(HWND window) { return IsSettingsProcess(WindowProcess(window)); }

BOOL CALLBACK StopAtSettingsChild(HWND child, LPARAM found) {
  if (!BelongsToSettings(child)) return TRUE;
  *reinterpret_cast<bool*>(found) = true;
  return FALSE;
}

BOOL CALLBACK StopAtSettingsWindow(HWND window, LPARAM found) {
  if (!IsSettingsWindow(window)) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

HWND FindSettingsWindow() {
  const HWND foreground = GetForegroundWindow();
  if (IsSettingsWindow(foreground)) return foreground;
  HWND found = nullptr;
  EnumWindows(StopAtSettingsWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

}  // namespace

std::wstring QueryProgId(const wchar_t* extension) {
  std::vector<wchar_t> text(kLongTextLength);
  DWORD length = kLongTextLength;
  if (FAILED(AssocQueryStringW(0, ASSOCSTR_PROGID, extension, nullptr, text.data(), &length)))
    return {};
  return std::wstring(text.data());
}

bool IsAcceptedProgId(std::wstring_view extension, std::wstring_view prog_id) {
  if (EqualsIgnoringCase(prog_id, L"Applications\\Vantle.exe")) return true;
  if (extension == L".zip") return EqualsIgnoringCase(prog_id, L"Cindral.Zip");
  if (extension == L".7z") return EqualsIgnoringCase(prog_id, L"Cindral.SevenZip");
  return false;
}

bool IsDefaultArchiver() {
  return IsAcceptedProgId(L".zip", QueryProgId(L".zip")) &&
         IsAcceptedProgId(L".7z", QueryProgId(L".7z"));
}

bool IsSettingsWindow(HWND window) {
  if (!IsWindow(window) || !IsWindowVisible(window)) return false;
  if (BelongsToSettings(window)) return true;
  bool found = false;
  EnumChildWindows(window, StopAtSettingsChild, reinterpret_cast<LPARAM>(&found));
  return found;
}

WatchAction DecideWatchPass(SettingsWatch& watch, uint64_t now, bool window_seen, bool is_default) {
  if (now - watch.start > kWatchLimit) return WatchAction::kEnd;
  if (!watch.has_window) {
    if (!window_seen)
      return now - watch.start > kWindowWait ? WatchAction::kEnd : WatchAction::kWait;
    watch.has_window = true;
    watch.found_at = now;
  } else if (!window_seen) {
    // The user closed the page, or another process took the window's place.
    return WatchAction::kEnd;
  }
  if (watch.closing)
    return now - watch.close_at > kCloseWait ? WatchAction::kEnd : WatchAction::kWait;
  // The user gets time to see the page before anything is decided.
  if (now - watch.found_at < kGrace) return WatchAction::kWait;
  if (!is_default) {
    watch.default_since = 0;
    return WatchAction::kWait;
  }
  if (watch.default_since == 0) {
    watch.default_since = now;
    return WatchAction::kWait;
  }
  if (now - watch.default_since <= kSettled) return WatchAction::kWait;
  watch.closing = true;
  watch.close_at = now;
  return WatchAction::kClose;
}

void WatchDefaultAppsSettings(std::wstring_view address, DefaultCheck check,
                              DefaultArchiverQuery is_default) {
  if (check == DefaultCheck::kFirst && is_default()) return;
  if (!address.starts_with(kDefaultAppsAddressPrefix)) return;

  SettingsWatch watch;
  watch.start = GetTickCount64();
  const std::wstring address_text(address);
  const auto opened = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", address_text.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (opened <= 32) return;

  HWND window = nullptr;
  DWORD owner = 0;
  for (bool first = true;; first = false) {
    if (!first) Sleep(static_cast<DWORD>(kPassPause));
    const uint64_t now = GetTickCount64();
    bool window_seen = false;
    if (window == nullptr) {
      window = FindSettingsWindow();
      owner = window != nullptr ? WindowProcess(window) : 0;
      window_seen = window != nullptr;
    } else {
      window_seen = WindowProcess(window) == owner && IsSettingsWindow(window);
    }
    // Only asked once the page has been up for the grace time.
    const bool both_set = watch.has_window && now - watch.found_at >= kGrace && is_default();
    switch (DecideWatchPass(watch, now, window_seen, both_set)) {
      case WatchAction::kWait:
        break;
      case WatchAction::kEnd:
        return;
      case WatchAction::kClose:
        if (!PostMessageW(window, WM_CLOSE, 0, 0)) return;
        break;
    }
  }
}

}  // namespace cindral
