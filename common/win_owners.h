// Owners for what Windows hands out. Each releases exactly once, moves but
// never copies, treats every "no object" value as empty, and keeps the
// thread's last error across its close, so no path can leak or double-free a
// resource and no failure report is overwritten by a cleanup.
#pragma once

#include <windows.h>
// The OLE headers need the base types of windows.h first.
#include <oleauto.h>
#include <propidl.h>
#include <winstring.h>

#include <utility>

namespace cindral {

// One resource, released by its kind's Traits: Value is what the system hands
// out, Empty() the value that owns nothing, IsValid() whether a value must be
// released, Close() the release.
template <typename Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() = default;
  explicit UniqueResource(Value value) : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { Reset(); }

  const Value& Get() const { return value_; }
  bool IsValid() const { return Traits::IsValid(value_); }
  explicit operator bool() const { return IsValid(); }

  template <typename T>
  T* As() const {
    return static_cast<T*>(value_);
  }

  Value Release() { return std::exchange(value_, Traits::Empty()); }
  void Reset(Value value = Traits::Empty()) {
    Value old = std::exchange(value_, value);
    if (!Traits::IsValid(old)) return;
    const DWORD last_error = GetLastError();
    Traits::Close(old);
    SetLastError(last_error);
  }
  // For out-parameters: releases what is held and lends the slot.
  Value* Put() {
    Reset();
    return &value_;
  }

 private:
  Value value_ = Traits::Empty();
};

// Null-is-empty pointers and handles, released by one call.
template <typename T, auto CloseFunction>
struct PointerTraits {
  using Value = T;
  static constexpr T Empty() { return nullptr; }
  static bool IsValid(T value) { return value != nullptr; }
  static void Close(T value) { CloseFunction(value); }
};

// A kernel handle. Both null and INVALID_HANDLE_VALUE mean none, because
// Windows uses one or the other depending on the call that made it.
struct KernelHandleTraits : PointerTraits<HANDLE, CloseHandle> {
  static bool IsValid(HANDLE value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
};

// A directory listing from FindFirstFileW, which fails with INVALID_HANDLE_VALUE.
struct FindHandleTraits : KernelHandleTraits {
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE value) { FindClose(value); }
};

// The system frees LocalAlloc memory it handed out, such as the argument
// array of CommandLineToArgvW, through LocalFree.
template <typename T>
struct LocalMemoryTraits {
  using Value = T*;
  static constexpr T* Empty() { return nullptr; }
  static bool IsValid(T* value) { return value != nullptr; }
  static void Close(T* value) { LocalFree(value); }
};

// GDI's pens, brushes, fonts, bitmaps and regions.
template <typename T>
struct GdiObjectTraits {
  using Value = T;
  static constexpr T Empty() { return nullptr; }
  static bool IsValid(T value) { return value != nullptr; }
  static void Close(T value) { DeleteObject(value); }
};

struct PropVariantTraits {
  using Value = PROPVARIANT;
  static PROPVARIANT Empty() { return PROPVARIANT{}; }
  static bool IsValid(const PROPVARIANT& value) { return value.vt != VT_EMPTY; }
  static void Close(PROPVARIANT& value) { PropVariantClear(&value); }
};

// A successful CoInitializeEx, balanced by one CoUninitialize on the same thread.
struct ComApartmentTraits {
  using Value = bool;
  static constexpr bool Empty() { return false; }
  static bool IsValid(bool entered) { return entered; }
  static void Close(bool) { CoUninitialize(); }
};

inline void UnmapView(void* view) { UnmapViewOfFile(view); }
inline void CloseRegistryKey(HKEY key) { RegCloseKey(key); }
inline void DeleteRuntimeString(HSTRING text) { WindowsDeleteString(text); }

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFind = UniqueResource<FindHandleTraits>;
using UniqueModule = UniqueResource<PointerTraits<HMODULE, FreeLibrary>>;
using MappedView = UniqueResource<PointerTraits<void*, UnmapView>>;
template <typename T>
using LocalMemory = UniqueResource<LocalMemoryTraits<T>>;
template <typename T>
using UniqueGdiObject = UniqueResource<GdiObjectTraits<T>>;
using UniqueRegistryKey = UniqueResource<PointerTraits<HKEY, CloseRegistryKey>>;
// WindowsDeleteString lives in the runtime-object library; only modules that
// own such strings link it.
using UniqueRuntimeString = UniqueResource<PointerTraits<HSTRING, DeleteRuntimeString>>;
using UniqueBstr = UniqueResource<PointerTraits<BSTR, SysFreeString>>;
using UniquePropVariant = UniqueResource<PropVariantTraits>;
// Text the shell allocates for its caller, such as IShellItem::GetDisplayName's.
using CoTaskText = UniqueResource<PointerTraits<wchar_t*, CoTaskMemFree>>;
using ComApartment = UniqueResource<ComApartmentTraits>;

// Enters the given apartment on this thread; the owner leaves it again only
// when the call succeeded (also with S_FALSE, already entered).
inline ComApartment EnterComApartment(DWORD model) {
  return ComApartment(SUCCEEDED(CoInitializeEx(nullptr, model)));
}

// One reference to a COM object.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes over a reference the caller already owns (an out-pointer's).
  static ComPtr Adopt(T* pointer) {
    ComPtr result;
    result.pointer_ = pointer;
    return result;
  }
  // Adds a reference of its own.
  static ComPtr Share(T* pointer) {
    if (pointer) pointer->AddRef();
    return Adopt(pointer);
  }
  ComPtr(const ComPtr& other) : pointer_(other.pointer_) {
    if (pointer_) pointer_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(pointer_, other.pointer_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  T* Get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  // For out-parameters: releases what is held and lends the slot.
  T** Put() {
    Reset();
    return &pointer_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  T* Detach() { return std::exchange(pointer_, nullptr); }
  void Reset() {
    if (T* old = std::exchange(pointer_, nullptr)) old->Release();
  }

  template <typename U>
  ComPtr<U> As(const IID& iid) const {
    ComPtr<U> result;
    if (pointer_) pointer_->QueryInterface(iid, result.PutVoid());
    return result;
  }

 private:
  T* pointer_ = nullptr;
};

}  // namespace cindral
