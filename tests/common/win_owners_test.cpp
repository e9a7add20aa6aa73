#include "common/win_owners.h"

#include <gtest/gtest.h>

#include <shobjidl.h>

#include <string>

#include "common/com_object.h"
#include "engine/abi/archive_interfaces.h"

namespace cindral {
namespace {

UniqueHandle MakeEvent() { return UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

bool IsOpenHandle(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(UniqueResourceTest, ClosesExactlyOnceAcrossMovesAndResets) {
  UniqueHandle first = MakeEvent();
  ASSERT_TRUE(first);
  const HANDLE raw = first.Get();

  UniqueHandle second = std::move(first);
  EXPECT_FALSE(first);
  EXPECT_EQ(second.Get(), raw);
  EXPECT_TRUE(IsOpenHandle(raw));

  second.Reset();
  EXPECT_FALSE(second);
  EXPECT_FALSE(IsOpenHandle(raw));
  second.Reset();  // an empty owner closes nothing
}

TEST(UniqueResourceTest, BothEmptyHandleValuesAreEmpty) {
  UniqueHandle invalid(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(invalid);
  UniqueFind find;
  EXPECT_EQ(find.Get(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(find);
}

TEST(UniqueResourceTest, ClosingKeepsTheLastError) {
  UniqueHandle event = MakeEvent();
  ASSERT_TRUE(event);
  // A failed call whose error the caller still has to read.
  EXPECT_EQ(
      CreateFileW(L"C:\\no such folder\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  const DWORD error = GetLastError();
  ASSERT_NE(error, ERROR_SUCCESS);
  event.Reset();
  EXPECT_EQ(GetLastError(), error);
}

TEST(UniqueResourceTest, ReleaseHandsOverWithoutClosing) {
  UniqueHandle event = MakeEvent();
  const HANDLE raw = event.Release();
  EXPECT_FALSE(event);
  EXPECT_TRUE(IsOpenHandle(raw));
  CloseHandle(raw);
}

TEST(UniqueResourceTest, OwnsStringsVariantsAndRegistryKeys) {
  UniqueBstr text(SysAllocString(L"Deflate"));
  EXPECT_EQ(SysStringLen(text.Get()), 7u);

  UniquePropVariant value;
  EXPECT_FALSE(value);
  value.Put()->vt = VT_BSTR;
  const_cast<PROPVARIANT&>(value.Get()).bstrVal = SysAllocString(L"x");
  EXPECT_TRUE(value);
  value.Reset();
  EXPECT_EQ(value.Get().vt, VT_EMPTY);

  UniqueRegistryKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.Put()), ERROR_SUCCESS);
  EXPECT_TRUE(key);

  UniqueGdiObject<HBRUSH> brush(CreateSolidBrush(RGB(1, 2, 3)));
  EXPECT_TRUE(brush);
}

// The base's counts and answers, seen through an object that records its end.
class Probe final : public ComObject<abi::IArchiveExtractCallback, abi::ICryptoGetTextPassword> {
 public:
  explicit Probe(bool* destroyed) : destroyed_(destroyed) {}
  ~Probe() override { *destroyed_ = true; }

  HRESULT STDMETHODCALLTYPE SetTotal(abi::UInt64) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetCompleted(const abi::UInt64*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetStream(abi::UInt32, abi::ISequentialOutStream**,
                                      abi::Int32) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE PrepareOperation(abi::Int32) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetOperationResult(abi::Int32) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR*) override { return E_ABORT; }

 private:
  bool* destroyed_;
};

TEST(ComObjectTest, AnswersListedInterfacesAndTheirParents) {
  bool destroyed = false;
  auto* probe = new Probe(&destroyed);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(probe->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  void* progress = nullptr;
  ASSERT_EQ(probe->QueryInterface(abi::kIidProgress, &progress), S_OK);
  EXPECT_EQ(progress, static_cast<abi::IProgress*>(probe));
  void* password = nullptr;
  ASSERT_EQ(probe->QueryInterface(abi::kIidCryptoGetTextPassword, &password), S_OK);
  EXPECT_EQ(password, static_cast<abi::ICryptoGetTextPassword*>(probe));
  // IUnknown is the first interface's, whichever interface is asked.
  IUnknown* again = nullptr;
  static_cast<abi::ICryptoGetTextPassword*>(password)->QueryInterface(
      IID_IUnknown, reinterpret_cast<void**>(&again));
  EXPECT_EQ(again, unknown);

  void* refused = reinterpret_cast<void*>(1);
  EXPECT_EQ(probe->QueryInterface(abi::kIidInStream, &refused), E_NOINTERFACE);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(probe->QueryInterface(IID_IClassFactory, &refused), E_NOINTERFACE);
  EXPECT_EQ(probe->QueryInterface(abi::kIidProgress, nullptr), E_POINTER);

  // Four references handed out plus the creator's.
  EXPECT_EQ(again->Release(), 4u);
  static_cast<abi::ICryptoGetTextPassword*>(password)->Release();
  static_cast<abi::IProgress*>(progress)->Release();
  unknown->Release();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(probe->Release(), 0u);
  EXPECT_TRUE(destroyed);
}

class Factory final : public ComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void**) override {
    return CLASS_E_NOAGGREGATION;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

TEST(ComObjectTest, WindowsInterfacesAnswerThroughTheirDeclaredIds) {
  ComPtr<Factory> factory = ComPtr<Factory>::Adopt(new Factory);
  ComPtr<IClassFactory> asked = factory.As<IClassFactory>(IID_IClassFactory);
  EXPECT_EQ(asked.Get(), static_cast<IClassFactory*>(factory.Get()));
  EXPECT_FALSE(factory.As<IExplorerCommand>(IID_IExplorerCommand));
}

}  // namespace
}  // namespace cindral
