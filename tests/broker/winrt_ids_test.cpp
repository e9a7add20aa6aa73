// The ids of the parameterized interfaces, recomputed from their type
// signatures the way the Windows Runtime derives them (a name-based UUID:
// SHA-1 over a fixed namespace and the signature), so that a mistyped id
// constant fails here instead of as E_NOINTERFACE on a user's machine.
#include "broker/winrt_deployment.h"

#include <windows.h>
#include <bcrypt.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

namespace cindral::broker::winrt {
namespace {

std::string GuidText(const GUID& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

std::array<unsigned char, 20> Sha1(const std::string& bytes) {
  std::array<unsigned char, 20> digest{};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0), 0);
  EXPECT_EQ(BCryptHash(algorithm, nullptr, 0,
                       reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
                       static_cast<ULONG>(bytes.size()), digest.data(), digest.size()),
            0);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return digest;
}

GUID IdOfSignature(const std::string& signature) {
  // The namespace 11f47ad5-7b73-42c0-abae-878b1e16adee in network order.
  const std::string name_space("\x11\xf4\x7a\xd5\x7b\x73\x42\xc0\xab\xae\x87\x8b\x1e\x16\xad\xee",
                               16);
  std::array<unsigned char, 20> hash = Sha1(name_space + signature);
  hash[6] = static_cast<unsigned char>((hash[6] & 0x0F) | 0x50);
  hash[8] = static_cast<unsigned char>((hash[8] & 0x3F) | 0x80);
  GUID id;
  id.Data1 =
      (static_cast<unsigned long>(hash[0]) << 24) | (hash[1] << 16) | (hash[2] << 8) | hash[3];
  id.Data2 = static_cast<unsigned short>((hash[4] << 8) | hash[5]);
  id.Data3 = static_cast<unsigned short>((hash[6] << 8) | hash[7]);
  for (int i = 0; i < 8; ++i) id.Data4[i] = hash[8 + i];
  return id;
}

std::string Class(const char* name, const GUID& default_interface) {
  return std::string("rc(") + name + ";" + GuidText(default_interface) + ")";
}

std::string Generic(const char* generic_id, const std::string& arguments) {
  return std::string("pinterface(") + generic_id + ";" + arguments + ")";
}

const std::string kDeploymentResult =
    Class("Windows.Management.Deployment.DeploymentResult", IDeploymentResult::kIid);
const std::string kDeploymentProgress =
    "struct(Windows.Management.Deployment.DeploymentProgress;"
    "enum(Windows.Management.Deployment.DeploymentProgressState;i4);u4)";
const std::string kPackage = Class("Windows.ApplicationModel.Package", IPackage::kIid);
const std::string kUri = Class("Windows.Foundation.Uri", IUriRuntimeClass::kIid);

TEST(WinRtIds, TheDerivationGivesTheKnownIterableOfString) {
  EXPECT_EQ(GuidText(IdOfSignature(Generic("{faa585ea-6214-4217-afda-7f46de5869b3}", "string"))),
            "{e2fcc7c1-3bfc-5a0b-b2b0-72e769d1cb7e}");
}

TEST(WinRtIds, DeploymentOperationAndItsHandlers) {
  const std::string arguments = kDeploymentResult + ";" + kDeploymentProgress;
  EXPECT_EQ(GuidText(IDeploymentOperation::kIid),
            GuidText(IdOfSignature(Generic("{b5d036d7-e297-498f-ba60-0289e76e23dd}", arguments))));
  EXPECT_EQ(GuidText(IDeploymentCompletedHandler::kIid),
            GuidText(IdOfSignature(Generic("{e85df41d-6aa7-46e3-a8e2-f009d840c627}", arguments))));
  EXPECT_EQ(GuidText(kIidDeploymentProgressHandler),
            GuidText(IdOfSignature(Generic("{55690902-0aab-421a-8778-f8ce5026d758}", arguments))));
}

TEST(WinRtIds, IterablesOfPackageAndUri) {
  constexpr char kIterable[] = "{faa585ea-6214-4217-afda-7f46de5869b3}";
  constexpr char kIterator[] = "{6a79e863-4300-459a-9966-cbb660963ee1}";
  EXPECT_EQ(GuidText(IPackageIterable::kIid),
            GuidText(IdOfSignature(Generic(kIterable, kPackage))));
  EXPECT_EQ(GuidText(IPackageIterator::kIid),
            GuidText(IdOfSignature(Generic(kIterator, kPackage))));
  EXPECT_EQ(GuidText(kIidUriIterable), GuidText(IdOfSignature(Generic(kIterable, kUri))));
  EXPECT_EQ(GuidText(kIidUriIterator), GuidText(IdOfSignature(Generic(kIterator, kUri))));
}

// The slot of each used method, counted in the declarations (a missing or
// extra method before it moves every later call to another function).
template <typename Method>
size_t SlotOf(Method method) {
  static_assert(sizeof(method) == 2 * sizeof(void*));
  // Itanium ABI: a virtual member pointer holds 1 + the vtable offset.
  const auto raw = *reinterpret_cast<const ptrdiff_t*>(&method);
  return static_cast<size_t>(raw - 1) / sizeof(void*);
}

TEST(WinRtIds, UsedMethodsSitInTheirSlots) {
  EXPECT_EQ(SlotOf(&IPackageManager::AddPackageAsync), 6u);
  EXPECT_EQ(SlotOf(&IPackageManager::RemovePackageAsync), 8u);
  EXPECT_EQ(SlotOf(&IPackageManager::FindPackagesByUserSecurityIdNamePublisher), 14u);
  EXPECT_EQ(SlotOf(&IPackageManager9::AddPackageByUriAsync), 7u);
  EXPECT_EQ(SlotOf(&IAddPackageOptions::put_ExternalLocationUri), 13u);
  EXPECT_EQ(SlotOf(&IDeploymentResult::get_ExtendedErrorCode), 8u);
  EXPECT_EQ(SlotOf(&IDeploymentOperation::put_Completed), 8u);
  EXPECT_EQ(SlotOf(&IDeploymentOperation::GetResults), 10u);
  EXPECT_EQ(SlotOf(&IDeploymentCompletedHandler::Invoke), 3u);
  EXPECT_EQ(SlotOf(&IAsyncInfo::get_Status), 7u);
  EXPECT_EQ(SlotOf(&IAsyncInfo::get_ErrorCode), 8u);
  EXPECT_EQ(SlotOf(&IPackage::get_Id), 6u);
  EXPECT_EQ(SlotOf(&IPackage8::get_EffectiveExternalLocation), 6u);
  EXPECT_EQ(SlotOf(&IPackageId::get_Version), 7u);
  EXPECT_EQ(SlotOf(&IPackageId::get_FullName), 12u);
  EXPECT_EQ(SlotOf(&IPackageId::get_FamilyName), 13u);
  EXPECT_EQ(SlotOf(&IStorageItem::get_Path), 12u);
  EXPECT_EQ(SlotOf(&IPackageIterator::get_Current), 6u);
  EXPECT_EQ(SlotOf(&IPackageIterator::MoveNext), 8u);
  EXPECT_EQ(SlotOf(&IPackageIterable::First), 6u);
  EXPECT_EQ(SlotOf(&IUriRuntimeClassFactory::CreateUri), 6u);
  EXPECT_EQ(sizeof(PackageVersion), 8u);
  EXPECT_EQ(sizeof(boolean), 1u);
}

}  // namespace
}  // namespace cindral::broker::winrt
