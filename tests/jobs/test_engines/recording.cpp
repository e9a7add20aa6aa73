// An engine whose handler writes down every property it is given, as
// "name=vt:value" lines, and can be told to refuse more than one property.
#include <string>

#include "tests/jobs/test_engines/test_engine.h"

namespace {

std::wstring recorded;
bool reject_extra_properties = false;

std::wstring Describe(const PROPVARIANT& value) {
  std::wstring text = std::to_wstring(value.vt) + L":";
  if (value.vt == VT_UI4) return text + std::to_wstring(value.ulVal);
  if (value.vt == VT_BSTR) return text + (value.bstrVal != nullptr ? value.bstrVal : L"(null)");
  return text + L"?";
}

class RecordingHandler final : public cindral::ComObject<cindral::abi::ISetProperties> {
 public:
  HRESULT STDMETHODCALLTYPE SetProperties(const wchar_t* const* names, const PROPVARIANT* values,
                                          cindral::abi::UInt32 count) override {
    for (cindral::abi::UInt32 i = 0; i < count; ++i)
      recorded += std::wstring(names[i]) + L"=" + Describe(values[i]) + L"\n";
    return reject_extra_properties && count > 1 ? E_INVALIDARG : S_OK;
  }
};

}  // namespace

CINDRAL_TEST_ENGINE_EXPORT HRESULT WINAPI CreateObject(const GUID*, const GUID*, void** out) {
  *out = static_cast<IUnknown*>(new RecordingHandler());
  return S_OK;
}

CINDRAL_TEST_ENGINE_EXPORT const wchar_t* RecordedProperties() { return recorded.c_str(); }

CINDRAL_TEST_ENGINE_EXPORT void RejectExtraProperties() { reject_extra_properties = true; }
