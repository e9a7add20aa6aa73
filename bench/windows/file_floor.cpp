// The floor of the whole-program benchmarks: the least file-system work a
// Windows program must do for a job, with no archive code at all, so that the
// report can tell Wine's cost apart from ours.
//
//   file_floor write <manifest> <folder>  creates the manifest's files (lines
//       "size<TAB>relative/path", UTF-8) under folder, each written once
//   file_floor read <folder> <file>       reads every file under folder whole
//       and writes them one after another into file
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/win_owners.h"

using namespace cindral;

namespace {

std::wstring Widen(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(size_t(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), length);
  return wide;
}

void Check(bool ok, const char* what) {
  if (!ok)
    throw std::runtime_error(std::string(what) + " failed: " + std::to_string(GetLastError()));
}

UniqueHandle CreateNew(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  Check(file.IsValid(), "CreateFileW");
  return file;
}

void WriteAll(HANDLE file, const char* data, size_t size) {
  DWORD written = 0;
  Check(WriteFile(file, data, DWORD(size), &written, nullptr) && written == size, "WriteFile");
}

// Every folder of the path below root that this run has not made yet.
void MakeParents(const std::wstring& root, const std::wstring& relative,
                 std::set<std::wstring>& made) {
  for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos;
       slash = relative.find(L'\\', slash + 1)) {
    const std::wstring folder = relative.substr(0, slash);
    if (!made.insert(folder).second) continue;
    Check(CreateDirectoryW((root + L"\\" + folder).c_str(), nullptr), "CreateDirectoryW");
  }
}

int WriteFiles(const std::wstring& manifest_path, const std::wstring& root) {
  std::ifstream manifest{std::filesystem::path(manifest_path)};
  Check(bool(manifest), "opening the manifest");
  Check(CreateDirectoryW(root.c_str(), nullptr), "CreateDirectoryW");
  std::set<std::wstring> made;
  std::vector<char> content;
  size_t size = 0;
  std::string line;
  while (manifest >> size && manifest.get() == '\t' && std::getline(manifest, line)) {
    std::wstring relative = Widen(line);
    for (wchar_t& c : relative) c = c == L'/' ? L'\\' : c;
    MakeParents(root, relative, made);
    if (content.size() < size) content.resize(size, 'x');
    const UniqueHandle file = CreateNew(root + L"\\" + relative);
    WriteAll(file.Get(), content.data(), size);
  }
  return 0;
}

void ReadTree(const std::wstring& folder, HANDLE out, std::vector<char>& buffer) {
  WIN32_FIND_DATAW found;
  const UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &found));
  Check(find.IsValid(), "FindFirstFileW");
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ReadTree(path, out, buffer);
      continue;
    }
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    Check(file.IsValid(), "CreateFileW");
    // One read into a buffer sized to the file, a bounded one for big files.
    const size_t size = std::min<size_t>(
        size_t(uint64_t(found.nFileSizeHigh) << 32 | found.nFileSizeLow), size_t{1} << 24);
    if (buffer.size() < size + 1) buffer.resize(size + 1);
    for (;;) {
      DWORD got = 0;
      Check(ReadFile(file.Get(), buffer.data(), DWORD(buffer.size()), &got, nullptr), "ReadFile");
      if (got == 0) break;
      WriteAll(out, buffer.data(), got);
    }
  } while (FindNextFileW(find.Get(), &found));
}

int ReadFiles(const std::wstring& folder, const std::wstring& output) {
  const UniqueHandle out = CreateNew(output);
  std::vector<char> buffer;
  ReadTree(folder, out.Get(), buffer);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  try {
    if (args.size() == 3 && args[0] == L"write") return WriteFiles(args[1], args[2]);
    if (args.size() == 3 && args[0] == L"read") return ReadFiles(args[1], args[2]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "file_floor: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: file_floor write <manifest> <folder> | read <folder> <file>\n");
  return 2;
}
