// The selection request file's layout, read and written through streams.
// Portable, so the reader is fuzzed natively too.
//
// Little-endian 32-bit fields: signature "1RVK" (0x4B565231), kind (0
// extract, 1 pack), path count, then per path its length in UTF-16 units
// and the units themselves.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace cindral {

struct SelectionRequest {
  bool pack = false;  // true: pack all paths into one ZIP; false: extract each
  std::vector<std::wstring> paths;
};

// Writes the request; the stream's state tells whether it all went out.
void WriteSelectionRequestTo(std::ostream& stream, bool pack,
                             const std::vector<std::wstring>& paths);

// Reads a request exactly as stored: 1 to 100000 paths of 1 to 32767 units,
// none holding a NUL. Fails with "Invalid selection request.", "Invalid path
// length." or "Invalid selection path.".
SelectionRequest ReadSelectionRequestFrom(std::istream& stream);

}  // namespace cindral
