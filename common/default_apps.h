// Whether ".zip" and ".7z" open with this program, and the watch over the
// Settings page where the user makes it so. Windows lets no program take an
// association itself; the main program and the broker both use this.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace cindral {

inline constexpr std::wstring_view kDefaultAppsAddressPrefix =
    L"ms-settings:defaultapps?registeredAUMID=";
// The prefix and the application user model id of the package identity,
// with its "!" percent-encoded.
inline constexpr std::wstring_view kDefaultAppsAddress =
    L"ms-settings:defaultapps?registeredAUMID=Cindral.Archiver_p7x2kq9dm4w3t%21Cindral";

// The extension's ProgID as the shell resolves it for the current user; empty
// when the query fails. extension carries its dot.
std::wstring QueryProgId(const wchar_t* extension);

// Whether prog_id, in any letter case, names this program as the handler of
// extension (".zip" or ".7z").
bool IsAcceptedProgId(std::wstring_view extension, std::wstring_view prog_id);

// True when both ".zip" and ".7z" resolve to one of the program's ProgIDs.
bool IsDefaultArchiver();

// A visible window of the Settings application, or a visible frame hosting a
// Settings page in one of its child windows.
bool IsSettingsWindow(HWND window);

// What the watch knows between passes; tick counts in milliseconds.
struct SettingsWatch {
  uint64_t start = 0;
  bool has_window = false;
  uint64_t found_at = 0;
  uint64_t default_since = 0;  // 0: the last look did not find both associations
  bool closing = false;
  uint64_t close_at = 0;
};

enum class WatchAction {
  kWait,   // look again after the pause
  kClose,  // ask the Settings window to close
  kEnd,
};

// One pass of the watch at tick now. window_seen: with no window yet, whether
// a Settings window was found in this pass; with one, whether it still is the
// same process's Settings window. is_default: IsDefaultArchiver in this pass.
// Updates watch; on kClose the caller posts the close request.
WatchAction DecideWatchPass(SettingsWatch& watch, uint64_t now, bool window_seen, bool is_default);

enum class DefaultCheck {
  kFirst,  // return at once when the program already is the handler
  kSkip,   // open the page anyway
};

// How the watch learns whether both associations are in place; the program
// and the broker use IsDefaultArchiver.
using DefaultArchiverQuery = bool (*)();

// Opens the default-apps page at address (which must begin with
// kDefaultAppsAddressPrefix), watches the Settings window and closes it once
// both associations have held for a second. Blocks for at most five minutes;
// every failure ends it quietly.
void WatchDefaultAppsSettings(std::wstring_view address, DefaultCheck check,
                              DefaultArchiverQuery is_default = IsDefaultArchiver);

}  // namespace cindral
