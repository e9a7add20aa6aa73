// Packing a selection of files and folders into one new ZIP beside it,
// written to a hidden temporary file and published under the first free name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/jobs/engine_callbacks.h"

namespace cindral {

struct EngineLibrary;
class JobHost;

// selection: absolute, lexically normal paths.
void CreateZipArchive(const EngineLibrary& engine, const std::vector<std::wstring>& selection,
                      JobHost& host, uint32_t threads);

// The archive's path before numbering: beside the first selected path, named
// after a single selected item or after the folder holding several.
std::wstring ChooseArchivePath(const std::vector<std::wstring>& selection);

// Appends source and, for a folder, everything below it, depth first in
// listing order. nested: source lies below a selected folder, where a vanished
// or locked item is skipped with a notice instead of failing the job.
void CollectSourceItems(const std::wstring& source, const std::wstring& archive_name,
                        std::vector<ZipSourceItem>& items, JobHost& host, bool nested);

}  // namespace cindral
