// The commands' titles and states over real shell items made from real
// paths, and over test-made items for what Wine's shell cannot show.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "shell/command_title.h"
#include "tests/e2e/process_runner.h"
#include "tests/shell/shell_module_host.h"

namespace cindral {
namespace {

using testing::FakeItem;
using testing::MakeFakeItemArray;
using testing::MakeShellItemArray;
using testing::StateOf;
using testing::TitleOf;

// What the module must have chosen for this process's user.
const Language kLanguage = LanguageOfUserInterface(GetUserDefaultUILanguage());

std::wstring ExpectedPackTitle(std::wstring_view name) {
  return (kLanguage == Language::kDutch ? L"Toevoegen aan \"" : L"Add to \"") + std::wstring(name) +
         L".zip\"";
}

class CommandTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apartment_ = new ComApartment(EnterComApartment(COINIT_APARTMENTTHREADED));
  }
  static void TearDownTestSuite() { delete apartment_; }

  void SetUp() override {
    ASSERT_TRUE(module_.IsLoaded());
    pack_ = module_.MakeCommand(testing::kPackClass);
    extract_ = module_.MakeCommand(testing::kExtractClass);
    ASSERT_TRUE(pack_ && extract_);
  }
  void TearDown() override {
    pack_.Reset();
    extract_.Reset();
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
  }

  // A fresh folder of real files and folders for one test.
  std::filesystem::path MakeFolder(const std::wstring& name, const std::vector<std::wstring>& files,
                                   const std::vector<std::wstring>& folders = {}) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        (L"cindral-shell-" + std::to_wstring(GetCurrentProcessId())) / name;
    std::filesystem::create_directories(folder);
    for (const std::wstring& file : files) std::ofstream(folder / file) << "x";
    for (const std::wstring& sub : folders) std::filesystem::create_directories(folder / sub);
    return folder;
  }

  static ComApartment* apartment_;
  testing::ShellModule module_{testing::DistFolder() / "Cindral.Shell.dll"};
  ComPtr<IExplorerCommand> pack_;
  ComPtr<IExplorerCommand> extract_;
};

ComApartment* CommandTest::apartment_ = nullptr;

class TestFolderCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                    (L"cindral-shell-" + std::to_wstring(GetCurrentProcessId())),
                                ignored);
  }
};
const auto* const cleanup = ::testing::AddGlobalTestEnvironment(new TestFolderCleanup);

TEST_F(CommandTest, NullAndEmptySelectionsHideBoth) {
  const ComPtr<IShellItemArray> empty = MakeFakeItemArray({});
  for (IShellItemArray* items : {static_cast<IShellItemArray*>(nullptr), empty.Get()}) {
    EXPECT_EQ(StateOf(pack_.Get(), items), ECS_HIDDEN);
    EXPECT_EQ(StateOf(extract_.Get(), items), ECS_HIDDEN);
    EXPECT_EQ(TitleOf(pack_.Get(), items),
              kLanguage == Language::kDutch ? L"Inpakken als ZIP" : L"Add to ZIP");
  }
  EXPECT_EQ(TitleOf(extract_.Get(), nullptr), ExtractTitle(kLanguage));
}

TEST_F(CommandTest, RealArchivesShowExtractInAnyCaseAndTitleByStem) {
  const auto folder = MakeFolder(L"archives", {L"a.ZIP", L"b.7z", L"notes.txt"});
  const ComPtr<IShellItemArray> one = MakeShellItemArray({(folder / L"a.ZIP").wstring()});
  ASSERT_TRUE(one);
  EXPECT_EQ(StateOf(extract_.Get(), one.Get()), ECS_ENABLED);
  EXPECT_EQ(StateOf(pack_.Get(), one.Get()), ECS_ENABLED);
  EXPECT_EQ(TitleOf(pack_.Get(), one.Get()), ExpectedPackTitle(L"a"));

  const ComPtr<IShellItemArray> two =
      MakeShellItemArray({(folder / L"a.ZIP").wstring(), (folder / L"b.7z").wstring()});
  ASSERT_TRUE(two);
  EXPECT_EQ(StateOf(extract_.Get(), two.Get()), ECS_ENABLED);
  EXPECT_EQ(TitleOf(pack_.Get(), two.Get()), ExpectedPackTitle(L"archives"));

  // An archive beside a text file: nothing to extract, the folder names the pack.
  const ComPtr<IShellItemArray> mixed =
      MakeShellItemArray({(folder / L"a.ZIP").wstring(), (folder / L"notes.txt").wstring()});
  ASSERT_TRUE(mixed);
  EXPECT_EQ(StateOf(extract_.Get(), mixed.Get()), ECS_HIDDEN);
  EXPECT_EQ(StateOf(pack_.Get(), mixed.Get()), ECS_ENABLED);
  EXPECT_EQ(TitleOf(pack_.Get(), mixed.Get()), ExpectedPackTitle(L"archives"));
}

TEST_F(CommandTest, RealNamesThatOnlyLookLikeArchivesHideExtract) {
  const auto folder = MakeFolder(L"lookalikes", {L"x.zipx", L"x.tar.gz", L".zip", L"zip"});
  for (const wchar_t* name : {L"x.zipx", L"x.tar.gz", L".zip", L"zip"}) {
    const ComPtr<IShellItemArray> items = MakeShellItemArray({(folder / name).wstring()});
    ASSERT_TRUE(items) << name;
    EXPECT_EQ(StateOf(extract_.Get(), items.Get()), ECS_HIDDEN) << name;
  }
  const ComPtr<IShellItemArray> dot_zip = MakeShellItemArray({(folder / L".zip").wstring()});
  EXPECT_EQ(TitleOf(pack_.Get(), dot_zip.Get()), ExpectedPackTitle(L".zip"));
}

TEST_F(CommandTest, RealFolderKeepsItsDotsAndFileLosesItsExtension) {
  const auto folder = MakeFolder(L"dots", {L"photos.2020.jpg"}, {L"photos.2020"});
  const ComPtr<IShellItemArray> sub = MakeShellItemArray({(folder / L"photos.2020").wstring()});
  const ComPtr<IShellItemArray> file =
      MakeShellItemArray({(folder / L"photos.2020.jpg").wstring()});
  ASSERT_TRUE(sub && file);
  EXPECT_EQ(TitleOf(pack_.Get(), sub.Get()), ExpectedPackTitle(L"photos.2020"));
  EXPECT_EQ(TitleOf(pack_.Get(), file.Get()), ExpectedPackTitle(L"photos.2020"));
  EXPECT_EQ(StateOf(extract_.Get(), sub.Get()), ECS_HIDDEN);
}

TEST_F(CommandTest, TwoFilesUnderADriveRootGiveAnEmptyName) {
  const std::wstring stem = L"C:\\cindral-shell-" + std::to_wstring(GetCurrentProcessId());
  const std::vector<std::wstring> paths = {stem + L"-1.txt", stem + L"-2.txt"};
  for (const std::wstring& path : paths) std::ofstream(std::filesystem::path(path)) << "x";
  const ComPtr<IShellItemArray> items = MakeShellItemArray(paths);
  const std::wstring title = items ? TitleOf(pack_.Get(), items.Get()) : L"<no items>";
  for (const std::wstring& path : paths) DeleteFileW(path.c_str());
  EXPECT_EQ(title, ExpectedPackTitle(L""));
}

TEST_F(CommandTest, NamesWindowsWouldNotCreate) {
  struct Case {
    const wchar_t* path;
    EXPCMDSTATE extract;
    const wchar_t* pack_name;
  };
  for (const Case& c : {Case{L"C:\\d\\x.zip.", ECS_HIDDEN, L"x.zip"},
                        Case{L"C:\\d\\c.zip:extra", ECS_ENABLED, L"c"},
                        Case{L"C:\\d\\a.b.c.7Z", ECS_ENABLED, L"a.b.c"},
                        Case{L"\\\\server\\share\\f.zip", ECS_ENABLED, L"f"}}) {
    const ComPtr<IShellItemArray> items = MakeFakeItemArray({{c.path}});
    EXPECT_EQ(StateOf(extract_.Get(), items.Get()), c.extract) << c.path;
    EXPECT_EQ(TitleOf(pack_.Get(), items.Get()), ExpectedPackTitle(c.pack_name)) << c.path;
  }
}

// Explorer shows a ZIP file as a folder that is also a stream; it is still
// named by its stem, where a real folder keeps its whole name.
TEST_F(CommandTest, ZipReportedAsFolderKeepsItsStem) {
  const ComPtr<IShellItemArray> zip =
      MakeFakeItemArray({{L"C:\\d\\photos.2020.zip", SFGAO_FOLDER | SFGAO_STREAM}});
  EXPECT_EQ(TitleOf(pack_.Get(), zip.Get()), ExpectedPackTitle(L"photos.2020"));
  EXPECT_EQ(StateOf(extract_.Get(), zip.Get()), ECS_ENABLED);
  const ComPtr<IShellItemArray> folder =
      MakeFakeItemArray({{L"C:\\d\\photos.2020.zip", SFGAO_FOLDER}});
  EXPECT_EQ(TitleOf(pack_.Get(), folder.Get()), ExpectedPackTitle(L"photos.2020.zip"));
}

TEST_F(CommandTest, ItemsWithoutAPathHideExtractButNotPack) {
  const ComPtr<IShellItemArray> mixed =
      MakeFakeItemArray({{L""}, {L"C:\\Work\\a.zip"}, {L"C:\\Work\\b.zip"}});
  EXPECT_EQ(StateOf(extract_.Get(), mixed.Get()), ECS_HIDDEN);
  EXPECT_EQ(StateOf(pack_.Get(), mixed.Get()), ECS_ENABLED);
  EXPECT_EQ(TitleOf(pack_.Get(), mixed.Get()), ExpectedPackTitle(L"Work"));

  // One path among virtual items is titled by the path; its array index 0
  // is the virtual item, which is no folder.
  const ComPtr<IShellItemArray> one = MakeFakeItemArray({{L""}, {L"C:\\Work\\report.docx"}});
  EXPECT_EQ(TitleOf(pack_.Get(), one.Get()), ExpectedPackTitle(L"report"));

  const ComPtr<IShellItemArray> virtual_only = MakeFakeItemArray({{L""}, {L""}});
  EXPECT_EQ(StateOf(pack_.Get(), virtual_only.Get()), ECS_ENABLED);
  EXPECT_EQ(TitleOf(pack_.Get(), virtual_only.Get()),
            kLanguage == Language::kDutch ? L"Inpakken als ZIP" : L"Add to ZIP");
  EXPECT_EQ(pack_->Invoke(virtual_only.Get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(extract_->Invoke(nullptr, nullptr), E_INVALIDARG);
}

// The module's own choice of language, checked against the rule in a
// process started with a Dutch locale (see the ctest registration).
TEST(CommandLanguage, ModuleFollowsTheUserInterfaceLanguage) {
  const bool dutch_expected = GetEnvironmentVariableW(L"CINDRAL_EXPECT_DUTCH", nullptr, 0) != 0;
  ASSERT_EQ(kLanguage == Language::kDutch, dutch_expected)
      << "user interface language 0x" << std::hex << GetUserDefaultUILanguage();
  testing::ShellModule module(testing::DistFolder() / "Cindral.Shell.dll");
  ASSERT_TRUE(module.IsLoaded());
  ComPtr<IExplorerCommand> extract = module.MakeCommand(testing::kExtractClass);
  ComPtr<IExplorerCommand> pack = module.MakeCommand(testing::kPackClass);
  ASSERT_TRUE(extract && pack);
  EXPECT_EQ(TitleOf(extract.Get(), nullptr), dutch_expected ? L"Hier uitpakken" : L"Extract here");
  EXPECT_EQ(TitleOf(pack.Get(), nullptr), dutch_expected ? L"Inpakken als ZIP" : L"Add to ZIP");
  const ComPtr<IShellItemArray> items = MakeFakeItemArray({{L"C:\\Data\\report.docx"}});
  EXPECT_EQ(TitleOf(pack.Get(), items.Get()),
            dutch_expected ? L"Toevoegen aan \"report.zip\"" : L"Add to \"report.zip\"");
}

TEST(CommandTitleRule, EverySublanguageOfDutchIsDutch) {
  EXPECT_EQ(LanguageOfUserInterface(MAKELANGID(LANG_DUTCH, SUBLANG_DUTCH)), Language::kDutch);
  EXPECT_EQ(LanguageOfUserInterface(MAKELANGID(LANG_DUTCH, SUBLANG_DUTCH_BELGIAN)),
            Language::kDutch);
  EXPECT_EQ(LanguageOfUserInterface(MAKELANGID(LANG_DUTCH, SUBLANG_NEUTRAL)), Language::kDutch);
  EXPECT_EQ(LanguageOfUserInterface(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
            Language::kEnglish);
  EXPECT_EQ(LanguageOfUserInterface(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)), Language::kEnglish);
  // Only the low ten bits name the language.
  EXPECT_EQ(LanguageOfUserInterface(0x0413 | 0xFC00), Language::kDutch);
}

TEST(CommandTitleRule, DutchTitlesUseTheirOwnTexts) {
  EXPECT_EQ(PackTitle({}, FirstItem::kFileOrArchive, Language::kDutch), L"Inpakken als ZIP");
  EXPECT_EQ(PackTitle({L"C:\\Data\\report.docx"}, FirstItem::kFileOrArchive, Language::kDutch),
            L"Toevoegen aan \"report.zip\"");
  EXPECT_EQ(PackTitle({L"C:\\a.txt", L"C:\\b.txt"}, FirstItem::kFileOrArchive, Language::kDutch),
            L"Toevoegen aan \".zip\"");
  EXPECT_EQ(ExtractTitle(Language::kDutch), L"Hier uitpakken");
  EXPECT_EQ(PackTitle({L"C:\\x\\photos.2020"}, FirstItem::kRealFolder, Language::kEnglish),
            L"Add to \"photos.2020.zip\"");
}

}  // namespace
}  // namespace cindral
