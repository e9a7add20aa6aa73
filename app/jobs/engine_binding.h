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

class JobHost;

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

// What a handler is told besides its thread count.
enum class HandlerUse {
  kReading,     // "mt" only
  kZipWriting,  // also method Deflate ("m") and level 5 ("x")
};

// Gives a handler its thread count ("mt", at least 1) and the settings of its
// use. A handler without ISetProperties is left as it is. Fails with "Cannot
// configure archive engine.".
void ConfigureHandler(IUnknown* handler, uint32_t thread_count, HandlerUse use);

// The password for the engine: asked from the user once per job through the
// host and reused from the shared password field afterwards. A host with
// nobody to ask gives none. Never throws.
HRESULT RequestArchivePassword(JobHost& host, BSTR* password) noexcept;

}  // namespace cindral
