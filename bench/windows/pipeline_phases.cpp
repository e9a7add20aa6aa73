// Where the time of an extraction goes under Wine: the whole ExtractArchive,
// then its publishing step and its folder guarding measured on their own
// over the same tree. Usage: pipeline_phases.exe <archive> <scratch folder>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/jobs/engine_binding.h"
#include "app/jobs/engine_callbacks.h"
#include "app/jobs/extraction.h"
#include "app/jobs/job_host.h"
#include "app/jobs/path_safety.h"
#include "app/jobs/publishing.h"

namespace fs = std::filesystem;
using namespace cindral;

namespace {

double SecondsOf(auto&& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The extracted tree as the publishing step sees items: relative paths, folders first.
std::vector<ExtractItem> ItemsOf(const fs::path& root) {
  std::vector<ExtractItem> items;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    ExtractItem item;
    item.relative_path = fs::relative(entry.path(), root).wstring();
    item.is_folder = entry.is_directory();
    item.staged = true;
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pipeline_phases <archive> <scratch>\n");
    return 2;
  }
  const fs::path scratch = argv[2];
  fs::remove_all(scratch);
  fs::create_directories(scratch / "extract");
  const fs::path archive = scratch / "extract" / fs::path(argv[1]).filename();
  fs::copy_file(argv[1], archive);

  EngineLibrary engine;
  LoadEngine(engine);
  HeadlessJobHost headless;
  const double total = SecondsOf([&] { ExtractArchive(engine, archive.wstring(), headless, 2); });

  // Publishing alone: the extracted tree moved back into a staging folder,
  // then published into an empty destination, as the pipeline does it.
  fs::remove(archive);
  const fs::path staging = scratch / "staging";
  fs::rename(scratch / "extract", staging);
  const std::vector<ExtractItem> items = ItemsOf(staging);
  fs::create_directories(scratch / "publish");
  const double publish = SecondsOf([&] {
    PublishExtractedItems((scratch / "publish").wstring(), staging.wstring(), items, headless);
  });

  // Guarding alone: one held handle per distinct folder of the same tree.
  size_t held = 0;
  const double guard = SecondsOf([&] {
    GuardedFolderTree folders((scratch / "publish").wstring());
    for (const ExtractItem& item : items) {
      const std::wstring folder = item.is_folder
                                      ? item.relative_path
                                      : fs::path(item.relative_path).parent_path().wstring();
      folders.Guard(folder);
    }
    held = folders.HeldCount();
  });

  size_t files = 0;
  for (const ExtractItem& item : items) files += item.is_folder ? 0 : 1;
  std::printf(
      "items %zu (files %zu), extraction %.2f s, of which publishing %.2f s (%.0f%%), "
      "guarding %.3f s (%.1f%%, %zu handles)\n",
      items.size(), files, total, publish, 100 * publish / total, guard, 100 * guard / total, held);
  fs::remove_all(scratch);
  return 0;
}
