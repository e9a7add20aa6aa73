// libFuzzer target: the selection request reader on arbitrary bytes. It
// either refuses with one of its texts or gives a request within its limits
// that, written out again, reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/selection_request_format.h"

namespace {

bool IsReaderText(const char* text) {
  for (const char* known :
       {"Invalid selection request.", "Invalid path length.", "Invalid selection path."})
    if (std::strcmp(text, known) == 0) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  cindral::SelectionRequest request;
  try {
    request = cindral::ReadSelectionRequestFrom(input);
  } catch (const std::runtime_error& refusal) {
    if (!IsReaderText(refusal.what())) std::abort();
    return 0;
  }
  if (request.paths.empty() || request.paths.size() > 100000) std::abort();
  for (const std::wstring& path : request.paths)
    if (path.empty() || path.size() > 32767 || path.find(L'\0') != std::wstring::npos) std::abort();

  std::ostringstream output;
  cindral::WriteSelectionRequestTo(output, request.pack, request.paths);
  std::istringstream again(output.str());
  const cindral::SelectionRequest reread = cindral::ReadSelectionRequestFrom(again);
  if (reread.pack != request.pack || reread.paths != request.paths) std::abort();
  // What was read is a prefix of the input: trailing bytes are ignored.
  if (output.str() != std::string(reinterpret_cast<const char*>(data), output.str().size()))
    std::abort();
  return 0;
}
