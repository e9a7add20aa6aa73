// An engine whose handler answers only IUnknown, so it cannot be configured.
#include "tests/jobs/test_engines/test_engine.h"

namespace {

class PlainHandler final : public cindral::ComObject<IUnknown> {};

}  // namespace

CINDRAL_TEST_ENGINE_EXPORT HRESULT WINAPI CreateObject(const GUID*, const GUID*, void** out) {
  *out = static_cast<IUnknown*>(new PlainHandler());
  return S_OK;
}
