// The engine library as a binary: its export table, its class ids, identity
// and reference counts of its objects, and ISetProperties.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/com/engine_test_support.h"

namespace cindral::testing {
namespace {

// The names in the loaded image's export directory, read from the PE headers.
std::vector<std::string> ExportedNames(HMODULE module, DWORD* function_count) {
  const auto* base = reinterpret_cast<const uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::vector<std::string> names;
  *function_count = 0;
  if (entry.VirtualAddress == 0) return names;
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  *function_count = exports->NumberOfFunctions;
  const auto* name_offsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    names.emplace_back(reinterpret_cast<const char*>(base + name_offsets[i]));
  return names;
}

TEST(EngineDllTest, ExportsOnlyCreateObjectByName) {
  EngineDll engine;
  ASSERT_TRUE(engine.module());
  DWORD functions = 0;
  EXPECT_EQ(ExportedNames(engine.module(), &functions), std::vector<std::string>{"CreateObject"});
  EXPECT_EQ(functions, 1u) << "an export without a name, or by ordinal only";
}

TEST(EngineDllTest, CreateObjectAnswersBothClassesAndRefusesOthers) {
  EngineDll engine;
  ASSERT_NE(engine.create, nullptr);
  for (const GUID& class_id : {abi::kZipHandlerClassId, abi::kSevenZipHandlerClassId}) {
    void* object = nullptr;
    EXPECT_EQ(engine.create(&class_id, &abi::kIidInArchive, &object), S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(static_cast<abi::IInArchive*>(object)->Release(), 0u);

    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(engine.create(&class_id, &abi::kIidInStream, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
  }
  // The 7z handler only reads.
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(engine.create(&abi::kSevenZipHandlerClassId, &abi::kIidOutArchive, &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);

  // Another handler class of the same family, and a foreign id.
  const GUID rar = abi::MakeHandlerClassId(0x03);
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(engine.create(&rar, &abi::kIidInArchive, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(engine.create(&IID_IUnknown, &abi::kIidInArchive, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(engine.create(&abi::kZipHandlerClassId, &abi::kIidInArchive, nullptr), E_POINTER);
}

TEST(EngineDllTest, InterfacesShareOneIdentityAndOneCount) {
  EngineDll engine;
  ASSERT_NE(engine.create, nullptr);
  abi::IInArchive* archive = nullptr;
  ASSERT_EQ(engine.create(&abi::kZipHandlerClassId, &abi::kIidInArchive,
                          reinterpret_cast<void**>(&archive)),
            S_OK);
  IUnknown* unknown_from_archive = nullptr;
  ASSERT_EQ(archive->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown_from_archive)),
            S_OK);
  abi::ISetProperties* properties = nullptr;
  ASSERT_EQ(archive->QueryInterface(abi::kIidSetProperties, reinterpret_cast<void**>(&properties)),
            S_OK);
  EXPECT_NE(static_cast<void*>(properties), static_cast<void*>(archive));
  IUnknown* unknown_from_properties = nullptr;
  ASSERT_EQ(
      properties->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown_from_properties)),
      S_OK);
  EXPECT_EQ(unknown_from_properties, unknown_from_archive);
  abi::IInArchive* archive_again = nullptr;
  ASSERT_EQ(
      properties->QueryInterface(abi::kIidInArchive, reinterpret_cast<void**>(&archive_again)),
      S_OK);
  EXPECT_EQ(archive_again, archive);

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(properties->QueryInterface(abi::kIidArchiveExtractCallback, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  // One count across both interfaces: 1 from CreateObject plus the four above.
  EXPECT_EQ(archive->AddRef(), 6u);
  EXPECT_EQ(properties->Release(), 5u);
  EXPECT_EQ(unknown_from_archive->Release(), 4u);
  EXPECT_EQ(unknown_from_properties->Release(), 3u);
  EXPECT_EQ(archive_again->Release(), 2u);
  EXPECT_EQ(properties->Release(), 1u);
  EXPECT_EQ(archive->Release(), 0u);
}

class SetPropertiesTest : public ::testing::Test {
 protected:
  HRESULT Set(const GUID& class_id, const std::vector<const wchar_t*>& names,
              std::vector<PROPVARIANT> values) {
    ComPtr<abi::IInArchive> archive = engine_.Handler(class_id);
    if (!archive) return E_UNEXPECTED;
    return SetHandlerProperties(archive.Get(), names, std::move(values));
  }

  EngineDll engine_;
};

TEST_F(SetPropertiesTest, ThreadCountOnBothHandlersAndWriterSettingsOnZip) {
  for (const GUID& class_id : {abi::kZipHandlerClassId, abi::kSevenZipHandlerClassId}) {
    EXPECT_EQ(Set(class_id, {L"mt"}, {UInt32Value(4)}), S_OK);
    EXPECT_EQ(Set(class_id, {L"mt"}, {UInt32Value(0)}), S_OK);
    EXPECT_EQ(Set(class_id, {L"mt"}, {StringValue(L"4")}), E_INVALIDARG);
    EXPECT_EQ(Set(class_id, {L"bogus"}, {UInt32Value(1)}), E_INVALIDARG);
    EXPECT_EQ(Set(class_id, {}, {}), S_OK);
  }
  // The program's full set for creating a ZIP archive.
  EXPECT_EQ(Set(abi::kZipHandlerClassId, {L"mt", L"m", L"x"},
                {UInt32Value(2), StringValue(L"Deflate"), UInt32Value(5)}),
            S_OK);
  EXPECT_EQ(Set(abi::kZipHandlerClassId, {L"m"}, {UInt32Value(8)}), E_INVALIDARG);
  EXPECT_EQ(Set(abi::kZipHandlerClassId, {L"m"}, {StringValue(L"Shrink")}), E_INVALIDARG);
  EXPECT_EQ(Set(abi::kZipHandlerClassId, {L"x"}, {StringValue(L"5")}), E_INVALIDARG);
  EXPECT_EQ(Set(abi::kZipHandlerClassId, {L"x"}, {UInt32Value(10)}), E_INVALIDARG);
  // A bad value anywhere refuses the whole call.
  EXPECT_EQ(Set(abi::kZipHandlerClassId, {L"mt", L"x"}, {UInt32Value(2), StringValue(L"9")}),
            E_INVALIDARG);
  // Writer settings mean nothing to the reading-only 7z handler.
  EXPECT_EQ(Set(abi::kSevenZipHandlerClassId, {L"m"}, {StringValue(L"Deflate")}), E_INVALIDARG);
  EXPECT_EQ(Set(abi::kSevenZipHandlerClassId, {L"x"}, {UInt32Value(5)}), E_INVALIDARG);
}

}  // namespace
}  // namespace cindral::testing
