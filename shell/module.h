// What the whole shell extension module shares: its own handle, its folder,
// the user's language and the count that decides when it may be unloaded.
#pragma once

#include <windows.h>

#include <string>

#include "shell/command_title.h"

namespace cindral {

// The folder holding this module, with its closing backslash.
std::wstring ModuleFolder();

// Chosen once when the module loads.
Language ModuleLanguage();

// Held by every live object of the module, so that DllCanUnloadNow answers
// S_OK only when Explorer has let go of all of them.
class ModuleReference {
 public:
  ModuleReference() noexcept;
  ~ModuleReference();
  ModuleReference(const ModuleReference&) = delete;
  ModuleReference& operator=(const ModuleReference&) = delete;
};

}  // namespace cindral
