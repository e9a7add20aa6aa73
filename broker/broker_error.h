// How the broker's failures travel: an HRESULT with the text the user is
// shown, so that the log and the message box can report both.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace cindral::broker {

// A failure that carries an HRESULT. message may be empty: the system's text
// for the code stands in for it then (see MessageText).
class BrokerError : public std::runtime_error {
 public:
  BrokerError(HRESULT code, std::wstring message);

  HRESULT Code() const { return code_; }
  const std::wstring& Message() const { return message_; }
  // The message, or else the system's text for the code.
  std::wstring MessageText() const;

 private:
  HRESULT code_;
  std::wstring message_;
};

// The broker's own refusals all carry E_INVALIDARG.
[[noreturn]] void Refuse(const wchar_t* message);

// Throws a BrokerError for a failed call, with the description Windows
// attached to the failure on this thread, if any.
void CheckCall(HRESULT result);

// Throws the calling thread's last error as a BrokerError (E_FAIL when the
// failed call left none).
[[noreturn]] void ThrowLastError();

// FormatMessageW's text for code, trailing white space removed; empty when
// the system has none.
std::wstring SystemMessage(HRESULT code);

}  // namespace cindral::broker
