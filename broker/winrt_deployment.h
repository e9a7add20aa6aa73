// The Windows Runtime deployment interfaces the broker calls, declared by hand
// because mingw-w64 ships no headers for them. Every interface lists all of
// its own methods up to the last one used, so each used method sits in the
// vtable slot Windows gives it; base interfaces are reached by QueryInterface,
// never through a derived vtable. Declared at namespace scope: GCC may turn a
// call through an abstract class of an anonymous namespace into a pure-virtual
// trap.
#pragma once

#include <windows.h>
#include <inspectable.h>
#include <winstring.h>

#include <cstdint>
#include <type_traits>

#include "common/com_object.h"

namespace cindral::broker::winrt {

using boolean = unsigned char;  // a WinRT Boolean is one byte

enum class AsyncStatus : int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

inline constexpr uint32_t kDeploymentOptionsNone = 0;

// What every interface here adds to the one it extends (IInspectable, or
// IUnknown for a delegate): its id, and nothing in the vtable.
template <GUID Id, typename Base = IInspectable>
struct Interface : Base {
  static constexpr GUID kIid = Id;
  using Parent = Base;
};

struct PackageVersion {
  uint16_t major;
  uint16_t minor;
  uint16_t build;
  uint16_t revision;
};

struct IUriRuntimeClass
    : Interface<GUID{
          0x9e365e57, 0x48b2, 0x4160, {0x95, 0x6f, 0xc7, 0x38, 0x51, 0x20, 0xbb, 0xfc}}> {};

struct IUriRuntimeClassFactory
    : Interface<GUID{
          0x44a9796f, 0x723e, 0x4fdf, {0xa2, 0x18, 0x03, 0x3e, 0x75, 0xb0, 0xc0, 0x84}}> {
  virtual HRESULT STDMETHODCALLTYPE CreateUri(HSTRING uri, IUriRuntimeClass** result) = 0;
};

struct IAsyncInfo
    : Interface<GUID{
          0x00000036, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}> {
  virtual HRESULT STDMETHODCALLTYPE get_Id(uint32_t* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

struct IDeploymentResult
    : Interface<GUID{
          0x2563b9ae, 0xb77d, 0x4c1f, {0x8a, 0x7b, 0x20, 0xe6, 0xad, 0x51, 0x5e, 0xf3}}> {
  virtual HRESULT STDMETHODCALLTYPE get_ErrorText(HSTRING* text) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ActivityId(GUID* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ExtendedErrorCode(HRESULT* code) = 0;
};

struct IDeploymentOperation;

// AsyncOperationWithProgressCompletedHandler<DeploymentResult,
// DeploymentProgress>: a delegate, so IUnknown is its base.
struct IDeploymentCompletedHandler
    : Interface<GUID{0x6e1c7129, 0x61e0, 0x5d88, {0x9f, 0xd4, 0xf3, 0xce, 0x65, 0xa0, 0x57, 0x19}},
                IUnknown> {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IDeploymentOperation* operation, AsyncStatus status) = 0;
};

// IAsyncOperationWithProgress<DeploymentResult, DeploymentProgress>.
struct IDeploymentOperation
    : Interface<GUID{
          0x5a97aab7, 0xb6ea, 0x55ac, {0xa5, 0xdc, 0xd5, 0xb1, 0x64, 0xd9, 0x4e, 0x94}}> {
  virtual HRESULT STDMETHODCALLTYPE put_Progress(IUnknown* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Progress(IUnknown** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IDeploymentCompletedHandler* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IDeploymentCompletedHandler** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(IDeploymentResult** result) = 0;
};

// The progress handler's id, for the test that recomputes the ids.
inline constexpr GUID kIidDeploymentProgressHandler{
    0xf1b926d1, 0x1796, 0x597a, {0x9b, 0xea, 0x6c, 0x64, 0x49, 0xd0, 0x3e, 0xef}};

struct IStorageItem
    : Interface<GUID{
          0x4207a996, 0xca2f, 0x42f7, {0xbd, 0xe8, 0x8b, 0x10, 0x45, 0x7a, 0x7f, 0x30}}> {
  virtual HRESULT STDMETHODCALLTYPE RenameAsyncOverloadDefaultOptions(HSTRING, void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE RenameAsync(HSTRING, int32_t, void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteAsyncOverloadDefaultOptions(void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteAsync(int32_t, void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBasicPropertiesAsync(void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Name(HSTRING*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Path(HSTRING* path) = 0;
};

// The StorageFolder's default interface; only handed on to IStorageItem.
struct IStorageFolder
    : Interface<GUID{
          0x72d1cb78, 0xb3ef, 0x4f75, {0xa8, 0x0b, 0x6f, 0xd9, 0xda, 0xe2, 0x94, 0x4b}}> {};

struct IPackageId
    : Interface<GUID{
          0x1adb665e, 0x37c7, 0x4790, {0x99, 0x80, 0xdd, 0x7a, 0xe7, 0x4e, 0x8b, 0xb2}}> {
  virtual HRESULT STDMETHODCALLTYPE get_Name(HSTRING*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Version(PackageVersion* version) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Architecture(int32_t*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ResourceId(HSTRING*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Publisher(HSTRING*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PublisherId(HSTRING*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_FullName(HSTRING* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_FamilyName(HSTRING* name) = 0;
};

struct IPackage
    : Interface<GUID{
          0x163c792f, 0xbd75, 0x413c, {0xbf, 0x23, 0xb1, 0xfe, 0x7b, 0x95, 0xd8, 0x25}}> {
  virtual HRESULT STDMETHODCALLTYPE get_Id(IPackageId** id) = 0;
};

struct IPackage8
    : Interface<GUID{
          0x2c584f7b, 0xce2a, 0x4be6, {0xa0, 0x93, 0x77, 0xcf, 0xbb, 0x2a, 0x7e, 0xa1}}> {
  virtual HRESULT STDMETHODCALLTYPE get_EffectiveExternalLocation(IStorageFolder** folder) = 0;
};

// IIterator<Package> and IIterable<Package>.
struct IPackageIterator
    : Interface<GUID{
          0x0217f069, 0x025c, 0x5ee6, {0xa8, 0x7f, 0xe7, 0x82, 0xe3, 0xb6, 0x23, 0xae}}> {
  virtual HRESULT STDMETHODCALLTYPE get_Current(IPackage** current) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_HasCurrent(boolean* has_current) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveNext(boolean* has_current) = 0;
};

struct IPackageIterable
    : Interface<GUID{
          0x69ad6aa7, 0x0c49, 0x5f27, {0xa5, 0xeb, 0xef, 0x4d, 0x59, 0x46, 0x7b, 0x6d}}> {
  virtual HRESULT STDMETHODCALLTYPE First(IPackageIterator** first) = 0;
};

// The iterable of Uri is never passed (no dependency packages); its ids are
// kept for the test that recomputes them.
inline constexpr GUID kIidUriIterable{
    0xb0d63b78, 0x78ad, 0x5e31, {0xb6, 0xd8, 0xe3, 0x2a, 0x0e, 0x16, 0xc4, 0x47}};
inline constexpr GUID kIidUriIterator{
    0x1c157d0f, 0x5efe, 0x5cec, {0xbb, 0xd6, 0x0c, 0x6c, 0xe9, 0xaf, 0x07, 0xa5}};

struct IAddPackageOptions
    : Interface<GUID{
          0x05cee018, 0xf68f, 0x422b, {0x95, 0xa4, 0x66, 0x67, 0x9e, 0xc7, 0x7f, 0xc0}}> {
  virtual HRESULT STDMETHODCALLTYPE get_DependencyPackageUris(void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_TargetVolume(void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_TargetVolume(void*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_OptionalPackageFamilyNames(void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_OptionalPackageUris(void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RelatedPackageUris(void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ExternalLocationUri(IUriRuntimeClass**) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ExternalLocationUri(IUriRuntimeClass* uri) = 0;
};

struct IPackageManager
    : Interface<GUID{
          0x9a7d4b65, 0x5e8f, 0x4fc7, {0xa2, 0xe5, 0x7f, 0x69, 0x25, 0xcb, 0x8b, 0x53}}> {
  virtual HRESULT STDMETHODCALLTYPE AddPackageAsync(IUriRuntimeClass* package_uri,
                                                    IInspectable* dependency_package_uris,
                                                    uint32_t deployment_options,
                                                    IDeploymentOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE UpdatePackageAsync(IUriRuntimeClass*, IInspectable*, uint32_t,
                                                       IDeploymentOperation**) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemovePackageAsync(HSTRING package_full_name,
                                                       IDeploymentOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE StagePackageAsync(IUriRuntimeClass*, IInspectable*,
                                                      IDeploymentOperation**) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterPackageAsync(IUriRuntimeClass*, IInspectable*, uint32_t,
                                                         IDeploymentOperation**) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindPackages(IPackageIterable**) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityId(HSTRING, IPackageIterable**) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindPackagesByNamePublisher(HSTRING, HSTRING,
                                                                IPackageIterable**) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityIdNamePublisher(
      HSTRING user_security_id, HSTRING package_name, HSTRING package_publisher,
      IPackageIterable** packages) = 0;
};

struct IPackageManager9
    : Interface<GUID{
          0x1aa79035, 0xcc71, 0x4b2e, {0x80, 0xa6, 0xc7, 0x04, 0x1d, 0x85, 0x79, 0xa7}}> {
  virtual HRESULT STDMETHODCALLTYPE FindProvisionedPackages(void**) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddPackageByUriAsync(IUriRuntimeClass* package_uri,
                                                         IAddPackageOptions* options,
                                                         IDeploymentOperation** operation) = 0;
};

}  // namespace cindral::broker::winrt

namespace cindral {

// The interfaces the program, or a test, implements with ComObject.
template <typename Interface>
requires std::is_base_of_v<broker::winrt::Interface<Interface::kIid, typename Interface::Parent>,
                           Interface>
struct InterfaceTraits<Interface> {
  static const GUID& Id() { return Interface::kIid; }
  using Parent = typename Interface::Parent;
};

}  // namespace cindral
