#include "broker/windows_package_store.h"

#include <windows.h>
#include <roapi.h>

#include <atomic>

#include "broker/broker_error.h"
#include "broker/winrt_deployment.h"
#include "common/com_object.h"
#include "common/win_owners.h"

namespace cindral::broker {
namespace {

using namespace winrt;

UniqueRuntimeString RuntimeString(const std::wstring& text) {
  UniqueRuntimeString result;
  CheckCall(WindowsCreateString(text.c_str(), static_cast<UINT32>(text.size()), result.Put()));
  return result;
}

std::wstring TextOf(const UniqueRuntimeString& text) {
  UINT32 length = 0;
  const wchar_t* buffer = WindowsGetStringRawBuffer(text.Get(), &length);
  return std::wstring(buffer, length);
}

template <typename Interface>
ComPtr<Interface> Query(IUnknown* object) {
  ComPtr<Interface> result;
  CheckCall(object->QueryInterface(Interface::kIid, result.PutVoid()));
  return result;
}

template <typename Interface>
ComPtr<Interface> Activate(const wchar_t* class_name) {
  ComPtr<IInspectable> instance;
  CheckCall(RoActivateInstance(RuntimeString(class_name).Get(), instance.Put()));
  return Query<Interface>(instance.Get());
}

ComPtr<IUriRuntimeClass> MakeUri(const std::wstring& url) {
  ComPtr<IUriRuntimeClassFactory> factory;
  CheckCall(RoGetActivationFactory(RuntimeString(L"Windows.Foundation.Uri").Get(),
                                   IUriRuntimeClassFactory::kIid, factory.PutVoid()));
  ComPtr<IUriRuntimeClass> uri;
  CheckCall(factory->CreateUri(RuntimeString(url).Get(), uri.Put()));
  return uri;
}

// Records the final status and wakes the waiting thread. It runs on a system
// thread, or at once inside put_Completed when the operation has finished.
class CompletionSignal : public ComObject<IDeploymentCompletedHandler, IAgileObject> {
 public:
  explicit CompletionSignal(HANDLE event) : event_(event) {}

  HRESULT STDMETHODCALLTYPE Invoke(IDeploymentOperation*, AsyncStatus status) override {
    status_.store(status);
    SetEvent(event_);
    return S_OK;
  }
  AsyncStatus Status() const { return status_.load(); }

 private:
  HANDLE event_;
  std::atomic<AsyncStatus> status_{AsyncStatus::Started};
};

class WindowsPackage : public RegisteredPackage {
 public:
  explicit WindowsPackage(ComPtr<IPackage> package) : package_(std::move(package)) {}

  broker::PackageVersion Version() override {
    winrt::PackageVersion version{};
    CheckCall(Id()->get_Version(&version));
    return {version.major, version.minor, version.build, version.revision};
  }
  std::wstring FullName() override {
    UniqueRuntimeString name;
    CheckCall(Id()->get_FullName(name.Put()));
    return TextOf(name);
  }
  std::wstring FamilyName() override {
    UniqueRuntimeString name;
    CheckCall(Id()->get_FamilyName(name.Put()));
    return TextOf(name);
  }
  std::optional<std::wstring> ExternalLocation() override {
    ComPtr<IPackage8> package = Query<IPackage8>(package_.Get());
    ComPtr<IStorageFolder> folder;
    CheckCall(package->get_EffectiveExternalLocation(folder.Put()));
    if (!folder) return std::nullopt;
    UniqueRuntimeString path;
    CheckCall(Query<IStorageItem>(folder.Get())->get_Path(path.Put()));
    return TextOf(path);
  }

 private:
  ComPtr<IPackageId> Id() {
    ComPtr<IPackageId> id;
    CheckCall(package_->get_Id(id.Put()));
    return id;
  }

  ComPtr<IPackage> package_;
};

class WindowsPackageStore : public PackageStore {
 public:
  explicit WindowsPackageStore(ComPtr<IPackageManager> manager) : manager_(std::move(manager)) {}

  std::vector<std::unique_ptr<RegisteredPackage>> FindIdentityPackages() override {
    ComPtr<IPackageIterable> packages;
    // An empty user security id means the user who runs the broker.
    CheckCall(manager_->FindPackagesByUserSecurityIdNamePublisher(
        nullptr, RuntimeString(kIdentityName).Get(), RuntimeString(kIdentityPublisher).Get(),
        packages.Put()));
    ComPtr<IPackageIterator> iterator;
    CheckCall(packages->First(iterator.Put()));
    std::vector<std::unique_ptr<RegisteredPackage>> found;
    boolean has_current = 0;
    CheckCall(iterator->get_HasCurrent(&has_current));
    while (has_current) {
      ComPtr<IPackage> package;
      CheckCall(iterator->get_Current(package.Put()));
      found.push_back(std::make_unique<WindowsPackage>(std::move(package)));
      CheckCall(iterator->MoveNext(&has_current));
    }
    return found;
  }

  void AddPackage(const std::wstring& package_url) override {
    ComPtr<IDeploymentOperation> operation;
    CheckCall(manager_->AddPackageAsync(MakeUri(package_url).Get(), nullptr, kDeploymentOptionsNone,
                                        operation.Put()));
    AwaitDeployment(operation.Get());
  }

  void AddPackageWithExternalLocation(const std::wstring& package_url,
                                      const std::wstring& location_url) override {
    ComPtr<IPackageManager9> manager = Query<IPackageManager9>(manager_.Get());
    ComPtr<IAddPackageOptions> options =
        Activate<IAddPackageOptions>(L"Windows.Management.Deployment.AddPackageOptions");
    CheckCall(options->put_ExternalLocationUri(MakeUri(location_url).Get()));
    ComPtr<IDeploymentOperation> operation;
    CheckCall(
        manager->AddPackageByUriAsync(MakeUri(package_url).Get(), options.Get(), operation.Put()));
    AwaitDeployment(operation.Get());
  }

  void RemovePackage(const std::wstring& full_name) override {
    ComPtr<IDeploymentOperation> operation;
    CheckCall(manager_->RemovePackageAsync(RuntimeString(full_name).Get(), operation.Put()));
    AwaitDeployment(operation.Get());
  }

 private:
  ComPtr<IPackageManager> manager_;
};

}  // namespace

// Waits without a time-out: a deployment may take as long as Windows needs.
void AwaitDeployment(IDeploymentOperation* operation) {
  ComPtr<IAsyncInfo> info = Query<IAsyncInfo>(operation);
  AsyncStatus status = AsyncStatus::Started;
  CheckCall(info->get_Status(&status));
  if (status == AsyncStatus::Started) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) ThrowLastError();
    ComPtr<CompletionSignal> signal =
        ComPtr<CompletionSignal>::Adopt(new CompletionSignal(event.Get()));
    CheckCall(operation->put_Completed(signal.Get()));
    WaitForSingleObject(event.Get(), INFINITE);
    status = signal->Status();
  }
  if (status == AsyncStatus::Canceled) throw BrokerError(HRESULT_FROM_WIN32(ERROR_CANCELLED), L"");

  ComPtr<IDeploymentResult> result;
  CheckCall(operation->GetResults(result.Put()));
  HRESULT code = S_OK;
  CheckCall(result->get_ExtendedErrorCode(&code));
  UniqueRuntimeString text;
  if (FAILED(code)) {
    result->get_ErrorText(text.Put());
    throw BrokerError(code, TextOf(text));
  }
  // A failed operation whose result names no error must not pass for a
  // success: the operation's own code stands in.
  if (status == AsyncStatus::Error) {
    HRESULT error = E_FAIL;
    if (FAILED(info->get_ErrorCode(&error)) || SUCCEEDED(error)) error = E_FAIL;
    throw BrokerError(error, L"");
  }
}

std::unique_ptr<PackageStore> CreateWindowsPackageStore() {
  return std::make_unique<WindowsPackageStore>(
      Activate<IPackageManager>(L"Windows.Management.Deployment.PackageManager"));
}

}  // namespace cindral::broker
