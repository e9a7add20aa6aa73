#include "common/selection_request.h"

#include "common/file_system.h"
#include "common/guid_text.h"

#include <fstream>
#include <stdexcept>

namespace cindral {

std::filesystem::path WriteSelectionRequest(bool pack, const std::vector<std::wstring>& paths) {
  const std::filesystem::path path =
      TemporaryFolder() / (L"Cindral-" + NewGuidText() + L".request");
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  WriteSelectionRequestTo(stream, pack, paths);
  // Flushing before the check makes a full disk a failure here rather than
  // a silently short file for the reader.
  stream.flush();
  if (!stream) throw std::runtime_error("Cannot write selection request.");
  stream.close();
  return path;
}

SelectionRequest ReadSelectionRequest(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return ReadSelectionRequestFrom(stream);
}

}  // namespace cindral
