#include "common/guid_text.h"

#include <windows.h>
#include <objbase.h>

#include <stdexcept>

namespace cindral {

std::wstring NewGuidText() {
  GUID guid{};
  if (FAILED(CoCreateGuid(&guid))) throw std::runtime_error("Cannot create a unique name.");
  wchar_t text[40] = {};
  const int length = StringFromGUID2(guid, text, 40);
  if (length <= 1) throw std::runtime_error("Cannot create a unique name.");
  return std::wstring(text, static_cast<size_t>(length - 1));
}

}  // namespace cindral
