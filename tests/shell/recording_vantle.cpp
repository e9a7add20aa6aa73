// Stands in for Vantle.exe beside a copy of the shell extension: records how
// it was started and what the request file holds, read by the program's own
// reader, into "record.txt" in its folder ("record.txt.tmp" first, so the
// test never sees half a record).
#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/selection_request.h"
#include "common/win_owners.h"
#include "tests/shell/utf8_text.h"

using cindral::testing::Utf8;

int wmain() {
  std::wstring own(32768, L'\0');
  own.resize(GetModuleFileNameW(nullptr, own.data(), 32768));
  const std::filesystem::path folder = std::filesystem::path(own).parent_path();

  std::wstring current(32768, L'\0');
  current.resize(GetCurrentDirectoryW(32768, current.data()));

  std::ofstream record(folder / "record.txt.tmp", std::ios::binary);
  record << "command line: " << Utf8(GetCommandLineW()) << '\n';
  record << "current folder: " << Utf8(current) << '\n';
  int count = 0;
  cindral::LocalMemory<LPWSTR> arguments(CommandLineToArgvW(GetCommandLineW(), &count));
  for (int i = 0; arguments && i < count; ++i) {
    record << "argument: " << Utf8(arguments.Get()[i]) << '\n';
  }
  if (arguments && count == 3) {
    try {
      const cindral::SelectionRequest request = cindral::ReadSelectionRequest(arguments.Get()[2]);
      record << "pack: " << request.pack << '\n';
      for (const std::wstring& path : request.paths) record << "path: " << Utf8(path) << '\n';
    } catch (const std::exception& failure) {
      record << "failure: " << failure.what() << '\n';
    }
  }
  record.close();
  std::filesystem::rename(folder / "record.txt.tmp", folder / "record.txt");
  return 0;
}
