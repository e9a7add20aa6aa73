// Holds the Wine prefix's desktop for a whole test run. Without it, the first
// test program that needs the desktop starts Wine's desktop process as its own
// child, and that process keeps the test's standard error open for as long as
// any other program uses the desktop: ctest then waits for the output of a
// finished test until the tests beside it end. Started with no output of its
// own, this program makes the desktop once and holds it until the run's
// wineserver goes.
#include <windows.h>

int main() {
  if (GetDesktopWindow() == nullptr) return 1;
  Sleep(INFINITE);
  return 0;
}
