// The archive engine as one job sees it: the library loaded from the
// program's own folder, the configuration every handler gets, and the answer
// to the engine's password questions.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>

#include "common/win_owners.h"
#include "engine/abi/archive_interfaces.h"

namespace cindral {

struct WorkerSharedState;

// The loaded engine for one job. The module owner frees the library on every
// way out of the job, also when loading stopped half-way.
struct EngineLibrary {
  UniqueModule module;
  abi::CreateObjectFunction create_object = nullptr;
};

// Loads "Cindral.Engine.dll" from the executable's folder only (never from the
// current folder or the search path) and finds its "CreateObject" entry.
// Fails with "Cindral engine missing." or "Invalid Cindral engine.".
void LoadEngine(EngineLibrary& engine);

void FreeEngine(EngineLibrary& engine);

// Gives a handler its thread count ("mt", at least 1) and, for packing, also
// method Deflate ("m") and level 5 ("x"). A handler without ISetProperties is
// left as it is. Fails with "Cannot configure archive engine.".
void ConfigureHandler(IUnknown* handler, uint32_t thread_count, bool full_zip_settings);

// The password for the engine: asked from the user once per job through the
// shared state and reused from its password field afterwards. Headless jobs
// (no shared state) never get one. Never throws.
HRESULT RequestArchivePassword(WorkerSharedState* shared, BSTR* password) noexcept;

}  // namespace cindral
