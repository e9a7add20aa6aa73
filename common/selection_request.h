// The selection request file: how a selection of paths travels from one
// process to another without ever appearing on a command line.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/selection_request_format.h"

namespace cindral {

// Writes a new request file into the user's temporary folder and returns its
// full path. The reader's limits are not applied here; the reader enforces them.
std::filesystem::path WriteSelectionRequest(bool pack, const std::vector<std::wstring>& paths);

// Reads a request file exactly as stored. The file is left in place.
SelectionRequest ReadSelectionRequest(const std::filesystem::path& path);

}  // namespace cindral
