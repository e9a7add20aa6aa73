// Waiting for a deployment, against operations of the test's own that finish
// at once, later on another thread, or badly.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "broker/broker_error.h"
#include "broker/windows_package_store.h"
#include "common/win_owners.h"

namespace cindral::broker {
namespace {

using namespace winrt;

struct Outcome {
  AsyncStatus status;
  HRESULT results_call = S_OK;  // what GetResults answers
  HRESULT extended_error = S_OK;
  const wchar_t* error_text = L"";
  HRESULT error_code = S_OK;  // the operation's own, through IAsyncInfo
};

class FakeResult : public ComObject<IDeploymentResult> {
 public:
  explicit FakeResult(const Outcome& outcome) : outcome_(outcome) {}
  HRESULT STDMETHODCALLTYPE GetIids(ULONG*, IID**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ErrorText(HSTRING* text) override {
    return WindowsCreateString(outcome_.error_text,
                               static_cast<UINT32>(wcslen(outcome_.error_text)), text);
  }
  HRESULT STDMETHODCALLTYPE get_ActivityId(GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExtendedErrorCode(HRESULT* code) override {
    *code = outcome_.extended_error;
    return S_OK;
  }

 private:
  Outcome outcome_;
};

// Reports Started until Finish, which runs the completion handler the way
// Windows does: on the finishing thread, or inside put_Completed when the
// operation had already finished.
class FakeOperation : public ComObject<IDeploymentOperation, IAsyncInfo> {
 public:
  explicit FakeOperation(const Outcome& outcome) : outcome_(outcome) {}

  void Finish() {
    status_ = outcome_.status;
    if (handler_) handler_->Invoke(this, outcome_.status);
  }
  bool HandlerWasSet() const { return handler_set_.load(); }

  HRESULT STDMETHODCALLTYPE GetIids(ULONG*, IID**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE put_Progress(IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Progress(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Completed(IDeploymentCompletedHandler* handler) override {
    handler_ = ComPtr<IDeploymentCompletedHandler>::Share(handler);
    handler_set_.store(true);
    if (status_ != AsyncStatus::Started) handler->Invoke(this, status_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Completed(IDeploymentCompletedHandler**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetResults(IDeploymentResult** result) override {
    if (FAILED(outcome_.results_call)) return outcome_.results_call;
    *result = new FakeResult(outcome_);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get_Id(uint32_t* id) override {
    *id = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* status) override {
    *status = status_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) override {
    *code = outcome_.error_code;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

 private:
  Outcome outcome_;
  std::atomic<AsyncStatus> status_{AsyncStatus::Started};
  ComPtr<IDeploymentCompletedHandler> handler_;
  std::atomic<bool> handler_set_{false};
};

enum class Finishing { Before, OnAnotherThread };

// The code AwaitDeployment fails with (S_OK when it returns) and its message.
std::pair<HRESULT, std::wstring> Await(const Outcome& outcome, Finishing finishing) {
  ComPtr<FakeOperation> operation = ComPtr<FakeOperation>::Adopt(new FakeOperation(outcome));
  std::thread finisher;
  if (finishing == Finishing::Before) {
    operation->Finish();
  } else {
    // Finishes once the waiter has set its handler, so the wait is real.
    finisher = std::thread([operation] {
      while (!operation->HandlerWasSet()) Sleep(1);
      operation->Finish();
    });
  }
  std::pair<HRESULT, std::wstring> result{S_OK, L""};
  try {
    AwaitDeployment(operation.Get());
  } catch (const BrokerError& error) {
    result = {error.Code(), error.Message()};
  }
  if (finisher.joinable()) finisher.join();
  return result;
}

TEST(AwaitDeployment, SucceedsWhetherFinishedBeforeOrLater) {
  for (Finishing finishing : {Finishing::Before, Finishing::OnAnotherThread}) {
    EXPECT_EQ(Await({AsyncStatus::Completed}, finishing).first, S_OK);
  }
}

TEST(AwaitDeployment, ACancelledDeploymentFailsWithTheCancellationCode) {
  for (Finishing finishing : {Finishing::Before, Finishing::OnAnotherThread}) {
    EXPECT_EQ(Await({AsyncStatus::Canceled}, finishing).first, static_cast<HRESULT>(0x800704C7));
  }
}

TEST(AwaitDeployment, AFailedDeploymentCarriesItsCodeAndText) {
  const Outcome failed{AsyncStatus::Error, S_OK, static_cast<HRESULT>(0x80073CF9),
                       L"Install failed.", static_cast<HRESULT>(0x80073CF9)};
  for (Finishing finishing : {Finishing::Before, Finishing::OnAnotherThread}) {
    const auto [code, message] = Await(failed, finishing);
    EXPECT_EQ(code, static_cast<HRESULT>(0x80073CF9));
    EXPECT_EQ(message, L"Install failed.");
  }
}

TEST(AwaitDeployment, ResultsThatCannotBeReadFailWithTheirCode) {
  EXPECT_EQ(Await({AsyncStatus::Error, static_cast<HRESULT>(0x80073CF3)}, Finishing::Before).first,
            static_cast<HRESULT>(0x80073CF3));
}

TEST(AwaitDeployment, AnErrorWithoutAnExtendedCodeIsNoSuccess) {
  const Outcome failed{AsyncStatus::Error, S_OK, S_OK, L"", static_cast<HRESULT>(0x80073D00)};
  EXPECT_EQ(Await(failed, Finishing::OnAnotherThread).first, static_cast<HRESULT>(0x80073D00));
  const Outcome no_code{AsyncStatus::Error, S_OK, S_OK, L"", S_OK};
  EXPECT_EQ(Await(no_code, Finishing::Before).first, E_FAIL);
}

}  // namespace
}  // namespace cindral::broker
