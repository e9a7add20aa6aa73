// An engine library that lacks the "CreateObject" export.
#include "tests/jobs/test_engines/test_engine.h"

CINDRAL_TEST_ENGINE_EXPORT HRESULT WINAPI CreateObjectMissing(const GUID*, const GUID*,
                                                              void** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}
