// Pieces shared by the stand-in engines the binding tests load: a handler
// object with a plain interlocked count, and the export's signature.
#pragma once

#include <windows.h>

#include "engine/abi/archive_interfaces.h"

#define CINDRAL_TEST_ENGINE_EXPORT extern "C" __declspec(dllexport)

namespace cindral::test_engine {

inline constexpr GUID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace cindral::test_engine
