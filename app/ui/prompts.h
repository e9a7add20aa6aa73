// The questions a worker asks through the interface: the password window and
// the file-conflict dialog. Both are modal to the main window and return the
// answer to write into the worker's shared state.
#pragma once

#include <windows.h>

#include <string>

#include "app/entry/worker_shared_state.h"

namespace cindral {

inline constexpr wchar_t kPasswordWindowClass[] = L"Cindral.Password";

// Control identifiers of the password window.
constexpr int kPasswordEditId = 10;
constexpr int kPasswordConfirmId = IDOK;
constexpr int kPasswordCancelId = IDCANCEL;

// Button identifiers of the conflict dialog (its cancel button is IDCANCEL).
constexpr int kConflictSkipId = 100;
constexpr int kConflictKeepBothId = 101;
constexpr int kConflictReplaceId = 102;

// Shows the password window over owner, which is disabled meanwhile, and
// runs a local message loop until it is answered. PasswordGiven with the
// typed text (at most 511 units) in password, or Cancel.
PromptAnswer AskPassword(HWND owner, std::wstring& password);

// Asks what to do about existing_path: Skip, KeepBoth or Replace, or Cancel
// when the dialog is dismissed or cannot be shown.
PromptAnswer AskConflict(HWND owner, const std::wstring& existing_path);

}  // namespace cindral
