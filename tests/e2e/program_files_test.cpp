// What the shipped programs carry: manifest, version and icon resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/win_owners.h"
#include "tests/e2e/process_runner.h"
#include "tests/version_resource.h"

namespace cindral {
namespace {

class ResourcesTest : public ::testing::Test {
 protected:
  void Open(const wchar_t* program) {
    path_ = (testing::DistFolder() / program).wstring();
    owner_.Reset(LoadLibraryExW(path_.c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    module_ = owner_.Get();
    ASSERT_NE(module_, nullptr) << "error " << GetLastError();
  }

  std::string Resource(LPCWSTR type, LPCWSTR name) {
    HRSRC found = FindResourceW(module_, name, type);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return std::string(data, SizeofResource(module_, found));
  }

  std::wstring path_;
  UniqueModule owner_;
  HMODULE module_ = nullptr;
};

// Each program of the dist folder.
class ProgramResources : public ResourcesTest,
                         public ::testing::WithParamInterface<const wchar_t*> {
 protected:
  void SetUp() override { Open(GetParam()); }
};

class VantleResources : public ResourcesTest {
 protected:
  void SetUp() override { Open(L"Vantle.exe"); }
};

TEST_P(ProgramResources, ManifestCarriesItsSettings) {
  const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
  ASSERT_FALSE(manifest.empty());
  for (const char* expected : {"level=\"asInvoker\"", "<longPathAware", ">true</longPathAware>",
                               ">PerMonitorV2</dpiAwareness>",
                               "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""}) {
    EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
  }
}

TEST_F(VantleResources, ManifestCarriesTheIdentity) {
  const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
  for (const char* expected : {"<msix", "publisher=\"CN=Cindral\"",
                               "packageName=\"Cindral.Archiver\"", "applicationId=\"Cindral\""}) {
    EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
  }
}

TEST_P(ProgramResources, VersionIs26_4_0_7) {
  const auto version = testing::ReadVersionResource(path_);
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->fixed.dwFileVersionMS, (26u << 16) | 4u);
  EXPECT_EQ(version->fixed.dwFileVersionLS, (0u << 16) | 7u);
  EXPECT_EQ(version->fixed.dwProductVersionMS, (26u << 16) | 4u);
  EXPECT_EQ(version->fixed.dwProductVersionLS, 7u);
  EXPECT_EQ(version->product_version, L"26.04");
}

TEST_F(VantleResources, IconOneHasEverySize) {
  const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
  ASSERT_GE(group.size(), 6u);
  const auto* header = reinterpret_cast<const WORD*>(group.data());
  const WORD count = header[2];
  ASSERT_EQ(group.size(), 6u + 14u * count);
  std::string sizes;
  for (WORD i = 0; i < count; ++i) {
    const auto width = static_cast<unsigned char>(group[6 + 14 * i]);
    sizes += std::to_string(width == 0 ? 256 : width) + " ";
  }
  EXPECT_EQ(sizes, "16 32 48 64 256 ");
  for (const int pixels : {16, 48, 256}) {
    HICON icon = static_cast<HICON>(
        LoadImageW(module_, MAKEINTRESOURCEW(1), IMAGE_ICON, pixels, pixels, LR_DEFAULTCOLOR));
    EXPECT_NE(icon, nullptr) << pixels;
    if (icon) DestroyIcon(icon);
  }
}

INSTANTIATE_TEST_SUITE_P(Dist, ProgramResources,
                         ::testing::Values(L"Vantle.exe", L"Vantle.Integration.exe"));

}  // namespace
}  // namespace cindral
