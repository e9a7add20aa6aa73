// What the GUI tests see of a window: its pixels on the screen, as a person
// would, and a PNG of them under the build folder for a person to look at.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace cindral::testing {

// The colour on the screen at a point in screen coordinates, as 0xRRGGBB.
unsigned ReadScreenColour(POINT point);

// The colour at a point in the window's client area, as 0xRRGGBB.
unsigned ReadClientColour(HWND window, POINT client_point);

// Saves the window's screen area as "<name>.png" in the "screenshots" folder
// beside the test program and returns the file's path; throws on failure.
std::wstring SaveWindowScreenshot(HWND window, const std::wstring& name);

// The visible top-level windows of a process, front to back.
std::vector<HWND> VisibleWindowsOf(DWORD process_id);

// The frontmost visible top-level window of the process with that class
// name, or null.
HWND FindVisibleWindow(DWORD process_id, const wchar_t* class_name);

// A window's text or class name, also of another process's window.
std::wstring WindowText(HWND window);
std::wstring ClassName(HWND window);

// Dispatches this thread's messages for about the given time, so that a
// window shown by the test paints before it is looked at.
void PumpMessagesFor(DWORD milliseconds);

}  // namespace cindral::testing
