#include "broker/broker_error.h"

#include <oleauto.h>

#include <cwctype>

#include "common/win_owners.h"

namespace cindral::broker {
namespace {

// The description a failed COM or Windows Runtime call left for this thread.
// Taking it clears it, so an old description never decorates a later failure.
std::wstring TakeErrorDescription() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return {};
  UniqueBstr description;
  if (FAILED(info->GetDescription(description.Put())) || !description) return {};
  std::wstring text(description.Get(), SysStringLen(description.Get()));
  while (!text.empty() && std::iswspace(text.back())) text.pop_back();
  return text;
}

}  // namespace

BrokerError::BrokerError(HRESULT code, std::wstring message)
    : std::runtime_error("broker operation failed"), code_(code), message_(std::move(message)) {}

std::wstring BrokerError::MessageText() const {
  return message_.empty() ? SystemMessage(code_) : message_;
}

void Refuse(const wchar_t* message) { throw BrokerError(E_INVALIDARG, message); }

void CheckCall(HRESULT result) {
  if (SUCCEEDED(result)) return;
  throw BrokerError(result, TakeErrorDescription());
}

void ThrowLastError() {
  const DWORD code = GetLastError();
  throw BrokerError(code == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(code), L"");
}

std::wstring SystemMessage(HRESULT code) {
  LocalMemory<wchar_t> text;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(text.Put()), 0, nullptr);
  if (length == 0 || !text) return {};
  std::wstring result(text.Get(), length);
  while (!result.empty() && std::iswspace(result.back())) result.pop_back();
  return result;
}

}  // namespace cindral::broker
