// The main window: its start, its message loop and what it does with every
// message (buttons, timers, drops, the file dialog, the language, the zoom
// and closing during a run).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace cindral {

enum class StartMode { kWaitForUser, kStartAtOnce };

// Shows the window over the given selection and runs its message loop until
// it is closed; returns the exit code.
int RunMainWindow(bool pack, std::vector<std::wstring> inputs, StartMode start);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Whether a key press toggles the window between maximised and restored:
// F11 always, Esc only out of the maximised view.
bool TogglesZoom(WPARAM key, bool maximised);

// The taskbar button's progress state for the run's state.
enum class TaskbarState { kNone, kNormal, kError };
TaskbarState ChooseTaskbarState(bool busy, bool failed);

}  // namespace cindral
