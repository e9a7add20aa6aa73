// Owners for what Windows hands out. Each releases exactly once, moves but
// never copies, and treats every "no object" value as empty, so no path can
// leak or double-free a handle.
#pragma once

#include <windows.h>
// The OLE headers need the base types of windows.h first.
#include <oleauto.h>
#include <propidl.h>

#include <utility>

namespace cindral {

// A kernel handle. Both null and INVALID_HANDLE_VALUE mean none, because
// Windows uses one or the other depending on the call that made it.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return IsValid(); }

  HANDLE Release() { return std::exchange(handle_, nullptr); }
  void Reset(HANDLE handle = nullptr) {
    const HANDLE old = std::exchange(handle_, handle);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }

 private:
  HANDLE handle_ = nullptr;
};

// A loaded library from LoadLibraryExW.
class UniqueModule {
 public:
  UniqueModule() = default;
  explicit UniqueModule(HMODULE module) : module_(module) {}
  UniqueModule(UniqueModule&& other) noexcept : module_(other.Release()) {}
  UniqueModule& operator=(UniqueModule&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueModule(const UniqueModule&) = delete;
  UniqueModule& operator=(const UniqueModule&) = delete;
  ~UniqueModule() { Reset(); }

  HMODULE Get() const { return module_; }
  explicit operator bool() const { return module_ != nullptr; }

  HMODULE Release() { return std::exchange(module_, nullptr); }
  void Reset(HMODULE module = nullptr) {
    if (HMODULE old = std::exchange(module_, module)) FreeLibrary(old);
  }

 private:
  HMODULE module_ = nullptr;
};

// A view from MapViewOfFile.
class MappedView {
 public:
  MappedView() = default;
  explicit MappedView(void* view) : view_(view) {}
  MappedView(MappedView&& other) noexcept : view_(other.Release()) {}
  MappedView& operator=(MappedView&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView() { Reset(); }

  void* Get() const { return view_; }
  template <typename T>
  T* As() const {
    return static_cast<T*>(view_);
  }
  explicit operator bool() const { return view_ != nullptr; }

  void* Release() { return std::exchange(view_, nullptr); }
  void Reset(void* view = nullptr) {
    if (void* old = std::exchange(view_, view)) UnmapViewOfFile(old);
  }

 private:
  void* view_ = nullptr;
};

// Memory the system allocated with LocalAlloc on the caller's behalf, such as
// the argument array of CommandLineToArgvW.
template <typename T>
class LocalMemory {
 public:
  LocalMemory() = default;
  explicit LocalMemory(T* memory) : memory_(memory) {}
  LocalMemory(LocalMemory&& other) noexcept : memory_(other.Release()) {}
  LocalMemory& operator=(LocalMemory&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() { Reset(); }

  T* Get() const { return memory_; }
  explicit operator bool() const { return memory_ != nullptr; }

  T* Release() { return std::exchange(memory_, nullptr); }
  void Reset(T* memory = nullptr) {
    if (T* old = std::exchange(memory_, memory)) LocalFree(old);
  }

 private:
  T* memory_ = nullptr;
};

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

// An OLE system string.
class UniqueBstr {
 public:
  UniqueBstr() = default;
  explicit UniqueBstr(BSTR text) : text_(text) {}
  UniqueBstr(UniqueBstr&& other) noexcept : text_(other.Release()) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  ~UniqueBstr() { Reset(); }

  BSTR Get() const { return text_; }
  BSTR* Put() {
    Reset();
    return &text_;
  }
  UINT Length() const { return text_ ? SysStringLen(text_) : 0; }

  BSTR Release() { return std::exchange(text_, nullptr); }
  void Reset(BSTR text = nullptr) {
    if (BSTR old = std::exchange(text_, text)) SysFreeString(old);
  }

 private:
  BSTR text_ = nullptr;
};

// A PROPVARIANT that is cleared when it goes away or is filled again.
class UniquePropVariant {
 public:
  UniquePropVariant() { PropVariantInit(&value_); }
  UniquePropVariant(const UniquePropVariant&) = delete;
  UniquePropVariant& operator=(const UniquePropVariant&) = delete;
  ~UniquePropVariant() { PropVariantClear(&value_); }

  const PROPVARIANT& Get() const { return value_; }
  PROPVARIANT* Put() {
    PropVariantClear(&value_);
    return &value_;
  }
  VARTYPE Type() const { return value_.vt; }

 private:
  PROPVARIANT value_;
};

// A directory listing from FindFirstFileW.
class UniqueFind {
 public:
  UniqueFind() = default;
  explicit UniqueFind(HANDLE find) : find_(find) {}
  UniqueFind(UniqueFind&& other) noexcept
      : find_(std::exchange(other.find_, INVALID_HANDLE_VALUE)) {}
  UniqueFind& operator=(UniqueFind&& other) noexcept {
    Reset(std::exchange(other.find_, INVALID_HANDLE_VALUE));
    return *this;
  }
  UniqueFind(const UniqueFind&) = delete;
  UniqueFind& operator=(const UniqueFind&) = delete;
  ~UniqueFind() { Reset(); }

  HANDLE Get() const { return find_; }
  explicit operator bool() const { return find_ != INVALID_HANDLE_VALUE && find_ != nullptr; }
  void Reset(HANDLE find = INVALID_HANDLE_VALUE) {
    const HANDLE old = std::exchange(find_, find);
    if (old != INVALID_HANDLE_VALUE && old != nullptr) FindClose(old);
  }

 private:
  HANDLE find_ = INVALID_HANDLE_VALUE;
};

}  // namespace cindral
