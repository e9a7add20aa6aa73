// The export's signature for the stand-in engines the binding tests load;
// their handlers count references through the program's COM object base.
#pragma once

#include <windows.h>

#include "common/com_object.h"
#include "engine/abi/archive_interfaces.h"

#define CINDRAL_TEST_ENGINE_EXPORT extern "C" __declspec(dllexport)
