// One base for the program's, the engine's and the shell extension's COM
// objects: an interlocked reference count and QueryInterface over the
// interfaces a class lists, so that no class writes AddRef or Release by hand.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <type_traits>

namespace cindral {

// The id an interface answers to and the interface it extends. Windows' own
// interfaces carry their id in their declaration and are taken to extend
// IUnknown; interfaces declared by hand, or Windows interfaces that extend
// another, specialise this.
template <typename Interface>
struct InterfaceTraits {
  static const GUID& Id() { return __uuidof(Interface); }
  using Parent = IUnknown;
};

// Whether an object that implements Interface answers to iid: the
// interface's own id or that of any interface it extends.
template <typename Interface>
bool InterfaceAnswers(REFIID iid) {
  if constexpr (std::is_same_v<Interface, IUnknown>) {
    return IsEqualIID(iid, __uuidof(IUnknown));
  } else {
    return IsEqualIID(iid, InterfaceTraits<Interface>::Id()) ||
           InterfaceAnswers<typename InterfaceTraits<Interface>::Parent>(iid);
  }
}

// Objects start with one reference, owned by whoever created them (adopt it
// into a ComPtr), and delete themselves when the last one goes.
template <typename FirstInterface, typename... OtherInterfaces>
class ComObject : public FirstInterface, public OtherInterfaces... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!FindInterface<FirstInterface>(iid, out) &&
        !(FindInterface<OtherInterfaces>(iid, out) || ...))
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  // The first listed interface that answers gives the pointer, so IUnknown
  // (answered by all) is always the same pointer, as COM requires.
  template <typename Interface>
  bool FindInterface(REFIID iid, void** out) {
    if (!InterfaceAnswers<Interface>(iid)) return false;
    *out = static_cast<Interface*>(this);
    return true;
  }

  LONG references_ = 1;
};

}  // namespace cindral
