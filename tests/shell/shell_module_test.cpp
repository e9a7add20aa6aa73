// The DLL as a COM server: what it exports, the class objects it hands out
// and refuses, and the count that lets Windows unload it.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/e2e/process_runner.h"
#include "tests/shell/shell_module_host.h"
#include "tests/version_resource.h"

namespace cindral {
namespace {

using testing::kExtractClass;
using testing::kPackClass;

class ShellModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(module_.IsLoaded()) << "error " << GetLastError(); }

  const std::filesystem::path dll_ = testing::DistFolder() / "Cindral.Shell.dll";
  testing::ShellModule module_{dll_};
};

// Reads the names in the loaded image's export directory.
std::set<std::string> ExportedNames(HMODULE module) {
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::set<std::string> names;
  if (directory.Size == 0) return names;
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  const auto* name_offsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    names.insert(reinterpret_cast<const char*>(base + name_offsets[i]));
  }
  // Exports by ordinal alone would not show as names.
  EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames);
  return names;
}

TEST_F(ShellModuleTest, ExportsExactlyTheTwoComFunctions) {
  const UniqueModule loaded(LoadLibraryW(dll_.c_str()));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(ExportedNames(loaded.Get()),
            (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject"}));
}

TEST_F(ShellModuleTest, ServesAFactoryForEachCommandAndCountsIt) {
  EXPECT_EQ(module_.CanUnloadNow(), S_OK);
  for (const CLSID& class_id : {kPackClass, kExtractClass}) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(module_.GetClassObject(class_id, __uuidof(IClassFactory), factory.PutVoid()), S_OK);
    ASSERT_TRUE(factory);
    EXPECT_EQ(module_.CanUnloadNow(), S_FALSE);

    ComPtr<IUnknown> unknown;
    ASSERT_EQ(module_.GetClassObject(class_id, IID_IUnknown, unknown.PutVoid()), S_OK);
    factory.Reset();
    EXPECT_EQ(module_.CanUnloadNow(), S_FALSE) << "the IUnknown factory is still alive";
    unknown.Reset();
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
  }
}

TEST_F(ShellModuleTest, RefusesUnknownClassesAndInterfacesWithoutLeaking) {
  const CLSID unknown_class = {
      0xB675C90E, 0x40FA, 0x4BE6, {0xA9, 0x56, 0xE3, 0x97, 0x50, 0xF4, 0x21, 0x03}};
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(module_.GetClassObject(unknown_class, __uuidof(IClassFactory), &out),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(module_.CanUnloadNow(), S_OK);

  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(module_.GetClassObject(kPackClass, __uuidof(IExplorerCommand), &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(module_.CanUnloadNow(), S_OK);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(module_.GetClassObject(kExtractClass, __uuidof(IClassFactory), factory.PutVoid()),
            S_OK);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IClassFactory), &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  ComPtr<IUnknown> outer;
  ASSERT_EQ(module_.GetClassObject(kPackClass, IID_IUnknown, outer.PutVoid()), S_OK);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);

  outer.Reset();
  factory.Reset();
  EXPECT_EQ(module_.CanUnloadNow(), S_OK);
}

TEST_F(ShellModuleTest, LockServerHoldsTheModuleWithoutObjects) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(module_.GetClassObject(kPackClass, __uuidof(IClassFactory), factory.PutVoid()), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory.Reset();
  EXPECT_EQ(module_.CanUnloadNow(), S_FALSE);

  ASSERT_EQ(module_.GetClassObject(kPackClass, __uuidof(IClassFactory), factory.PutVoid()), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();
  EXPECT_EQ(module_.CanUnloadNow(), S_OK);
}

TEST_F(ShellModuleTest, CommandsOutliveTheirFactoryAndAnswerAsThemselves) {
  for (const CLSID& class_id : {kPackClass, kExtractClass}) {
    ComPtr<IExplorerCommand> command = module_.MakeCommand(class_id);
    ASSERT_TRUE(command);
    EXPECT_EQ(module_.CanUnloadNow(), S_FALSE) << "a command alone holds the module";

    // One identity through IUnknown; AddRef and Release give the new counts.
    ComPtr<IUnknown> first = command.As<IUnknown>(IID_IUnknown);
    ComPtr<IUnknown> second = command.As<IUnknown>(IID_IUnknown);
    EXPECT_EQ(first.Get(), second.Get());
    EXPECT_EQ(command->AddRef(), 4u);
    EXPECT_EQ(command->Release(), 3u);
    EXPECT_FALSE(command.As<IShellItem>(__uuidof(IShellItem)));

    GUID name{};
    EXPECT_EQ(command->GetCanonicalName(&name), S_OK);
    EXPECT_TRUE(IsEqualGUID(name, class_id));
    EXPCMDFLAGS flags = 1;
    EXPECT_EQ(command->GetFlags(&flags), S_OK);
    EXPECT_EQ(flags, ECF_DEFAULT);
    LPWSTR tip = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(command->GetToolTip(nullptr, &tip), E_NOTIMPL);
    EXPECT_EQ(tip, nullptr);
    IEnumExplorerCommand* sub = reinterpret_cast<IEnumExplorerCommand*>(1);
    EXPECT_EQ(command->EnumSubCommands(&sub), E_NOTIMPL);
    EXPECT_EQ(sub, nullptr);

    LPWSTR icon = nullptr;
    ASSERT_EQ(command->GetIcon(nullptr, &icon), S_OK);
    const std::filesystem::path icon_path(icon);
    CoTaskMemFree(icon);
    EXPECT_EQ(icon_path, dll_.parent_path() / "Cindral.ico");
    EXPECT_TRUE(std::filesystem::is_regular_file(icon_path));

    first.Reset();
    second.Reset();
    command.Reset();
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
  }
}

TEST_F(ShellModuleTest, CarriesTheProductVersion) {
  const auto version = testing::ReadVersionResource(dll_);
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->fixed.dwFileVersionMS, (26u << 16) | 4u);
  EXPECT_EQ(version->fixed.dwFileVersionLS, 7u);
  EXPECT_EQ(version->fixed.dwFileType, static_cast<DWORD>(VFT_DLL));
}

}  // namespace
}  // namespace cindral
