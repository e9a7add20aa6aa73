// An engine whose handler answers only IUnknown, so it cannot be configured.
#include "tests/jobs/test_engines/test_engine.h"

namespace {

using cindral::test_engine::kIidUnknown;

class PlainHandler final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(iid, kIidUnknown)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

 private:
  LONG references_ = 1;
};

}  // namespace

CINDRAL_TEST_ENGINE_EXPORT HRESULT WINAPI CreateObject(const GUID*, const GUID*, void** out) {
  *out = new PlainHandler();
  return S_OK;
}
