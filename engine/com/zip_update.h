// Writing a new ZIP through IOutArchive::UpdateItems: the host's update
// callback and output stream bridged to the portable ZIP writer.
#pragma once

#include "engine/abi/archive_interfaces.h"

namespace cindral::engine {

struct ZipUpdateSettings {
  unsigned threads = 1;
  int level = 5;
};

// Every item is new. Returns S_OK, or the first failing callback's result,
// E_OUTOFMEMORY, or E_FAIL; never throws.
HRESULT UpdateZip(abi::ISequentialOutStream* out, abi::UInt32 count,
                  abi::IArchiveUpdateCallback* callback, const ZipUpdateSettings& settings);

}  // namespace cindral::engine
