// Extracting one ZIP or 7z archive beside itself: every entry examined
// first, the engine writing only into a staging folder, then publishing.
#pragma once

#include <cstdint>
#include <string>

namespace cindral {

struct EngineLibrary;
class JobHost;

// archive: an absolute, lexically normal path.
void ExtractArchive(const EngineLibrary& engine, const std::wstring& archive, JobHost& host,
                    uint32_t threads);

}  // namespace cindral
