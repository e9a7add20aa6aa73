// Extraction through the real program: hostile archives refused as a whole,
// sound ones published, and the job runner's frame around them.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "app/entry/worker_shared_state.h"
#include "app/jobs/engine_binding.h"
#include "app/jobs/extraction.h"
#include "app/jobs/job_host.h"
#include "app/jobs/job_runner.h"
#include "app/jobs/publishing.h"
#include "tests/e2e/job_support.h"
#include "tests/e2e/process_runner.h"

namespace cindral {
namespace {

using namespace cindral::testing;

struct HostileCase {
  const char* fixture;
  const char* refusal;
};

constexpr const char* kUnsafeComponent = "Unsafe archive path component.";
constexpr const char* kAbsolute = "Absolute paths and alternate data streams are blocked.";
constexpr const char* kDevice = "Windows device names are blocked.";
constexpr const char* kInvalidName = "Invalid archive filename.";
constexpr const char* kDuplicates = "Archive contains duplicate paths.";
constexpr const char* kSpecial = "Archive contains a special file or symbolic link.";
constexpr const char* kLinks = "Archive links and alternate streams are blocked.";

const HostileCase kHostileCases[] = {
    {"hostile-dotdot.zip", kUnsafeComponent},
    {"hostile-dotdot_inner.zip", kUnsafeComponent},
    {"hostile-dot_component.zip", kUnsafeComponent},
    {"hostile-absolute.zip", kAbsolute},
    {"hostile-backslash_root.zip", kAbsolute},
    {"hostile-drive.zip", kAbsolute},
    {"hostile-drive_relative.zip", kAbsolute},
    {"hostile-stream.zip", kAbsolute},
    {"hostile-device_con.zip", kDevice},
    {"hostile-device_nul_txt.zip", kDevice},
    {"hostile-device_com1.zip", kDevice},
    {"hostile-device_lpt_superscript.zip", kDevice},
    {"hostile-device_space_con.zip", kDevice},
    {"hostile-device_space_nul.zip", kDevice},
    {"hostile-device_space_com1.zip", kDevice},
    {"hostile-device_space_aux.zip", kDevice},
    {"hostile-device_space_conin.zip", kDevice},
    {"hostile-trailing_dot.zip", kUnsafeComponent},
    {"hostile-trailing_space.zip", kUnsafeComponent},
    {"hostile-reserved_less.zip", kInvalidName},
    {"hostile-reserved_question.zip", kInvalidName},
    {"hostile-reserved_pipe.zip", kInvalidName},
    {"hostile-control_character.zip", kInvalidName},
    {"hostile-case_duplicates.zip", kDuplicates},
    {"hostile-file_and_folder.zip", kDuplicates},
    {"hostile-symlink_mode.zip", kSpecial},
    {"hostile-fifo_mode.zip", kSpecial},
    {"hostile-reparse_attribute.zip", "Archive reparse points are blocked."},
    {"hostile-anti_file.7z", kLinks},
    {"hostile-anti_folder.7z", kLinks},
    {"hostile-too_many_entries.7z", "Archive contains too many entries."},
    {"hostile-huge_claim.zip", "Not enough free space to extract this archive."},
};

class HostileArchive : public JobTest, public ::testing::WithParamInterface<HostileCase> {};

// Each archive begins with a harmless entry: the refusal must come before it
// is written anywhere, so the destination holds the archive alone.
TEST_P(HostileArchive, IsRefusedBeforeAnythingIsWritten) {
  const fs::path archive = CopyFixture(GetParam().fixture, work_);
  EXPECT_EQ(Headless(L"extract", {archive}), 1u);
  EXPECT_EQ(LastError(), GetParam().refusal);
  EXPECT_EQ(ListTree(work_), std::vector<std::string>{GetParam().fixture});
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileArchive, ::testing::ValuesIn(kHostileCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           std::string name = info.param.fixture;
                           name = name.substr(8, name.find('.') - 8);
                           return name;
                         });

using HeadlessExtraction = JobTest;

TEST_F(HeadlessExtraction, SoundZipIsPublishedBesideItselfWithEmptyFoldersAndFiles) {
  const fs::path archive = CopyFixture("good.zip", work_);
  ASSERT_EQ(Headless(L"extract", {archive}), 0u) << LastError();
  EXPECT_EQ(LastError(), "<none>");
  const std::vector<std::string> expected = {
      "a.txt",  "dir/",     "dir/b.txt", "dir/\u00e9t\u00e9 \u65e5\u672c.txt",
      "empty/", "good.zip", "zero.txt"};
  EXPECT_EQ(ListTree(work_), expected);
  std::string alpha;
  for (int i = 0; i < 100; ++i) alpha += "alpha\n";
  EXPECT_EQ(ReadBytes(work_ / "a.txt"), alpha);
  EXPECT_EQ(ReadBytes(work_ / "dir" / U8("\u00e9t\u00e9 \u65e5\u672c.txt")), "summer\n");
  EXPECT_EQ(fs::file_size(work_ / "zero.txt"), 0u);
}

TEST_F(HeadlessExtraction, SevenZipWithEachDecoderInTree) {
  std::string one;
  for (int i = 0; i < 2000; ++i) one += "one ";
  for (const char* fixture : {"copy.7z", "ppmd.7z", "bzip2.7z"}) {
    const fs::path folder = work_ / fixture;
    const fs::path archive = CopyFixture(fixture, folder);
    ASSERT_EQ(Headless(L"extract", {archive}), 0u) << fixture << ": " << LastError();
    EXPECT_EQ(ReadBytes(folder / "one.txt"), one) << fixture;
    EXPECT_EQ(ReadBytes(folder / "sub" / "two.txt"), "two\n") << fixture;
    EXPECT_TRUE(CindralLeftovers(folder).empty()) << fixture;
  }
}

// The build makes e2e_links/via -> real as a Unix link.
TEST_F(HeadlessExtraction, ArchiveReachedThroughALinkIsRefusedBeforeStaging) {
  if (!RunsUnderWine()) GTEST_SKIP() << "uses the Unix link the build makes beside the tests";
  const fs::path links = DistFolder().parent_path() / "bin" / "e2e_links";
  ASSERT_NE(GetFileAttributesW((links / "via").c_str()), INVALID_FILE_ATTRIBUTES)
      << "the build step that makes the link did not run";
  const fs::path archive = CopyFixture("good.zip", links / "real", "through-link.zip");
  EXPECT_EQ(Headless(L"extract", {links / "via" / "through-link.zip"}), 1u);
  EXPECT_EQ(LastError(), "Reparse points in destination paths are blocked.");
  EXPECT_EQ(ListTree(links / "real"), std::vector<std::string>{"through-link.zip"});
  fs::remove(archive);
}

TEST_F(HeadlessExtraction, ExtensionChoosesTheHandlerAndRarIsRefused) {
  const fs::path upper = CopyFixture("good.zip", work_ / "upper", "DATA.ZIP");
  ASSERT_EQ(Headless(L"extract", {upper}), 0u) << LastError();
  EXPECT_TRUE(fs::exists(work_ / "upper" / "dir" / "b.txt"));

  // A 7z archive under a .zip name goes to the ZIP handler, which finds no ZIP.
  const fs::path disguised = CopyFixture("copy.7z", work_ / "disguised", "copy.zip");
  EXPECT_EQ(Headless(L"extract", {disguised}), 1u);
  EXPECT_EQ(LastError(), "Cannot open archive: damaged archive or incorrect password.");
  EXPECT_EQ(ListTree(work_ / "disguised"), std::vector<std::string>{"copy.zip"});

  const fs::path rar = CopyFixture("good.zip", work_ / "rar", "data.rar");
  EXPECT_EQ(Headless(L"extract", {rar}), 1u);
  EXPECT_EQ(LastError(), "Only ZIP and 7z are supported.");
  EXPECT_EQ(ListTree(work_ / "rar"), std::vector<std::string>{"data.rar"});
}

TEST_F(HeadlessExtraction, SecondArchiveFailingStopsTheJobBeforeTheThird) {
  const fs::path first = CopyFixture("good.zip", work_ / "first");
  const fs::path second = CopyFixture("damaged.zip", work_ / "second");
  const fs::path third = CopyFixture("copy.7z", work_ / "third");
  EXPECT_EQ(Headless(L"extract", {first, second, third}), 1u);
  EXPECT_EQ(LastError(), "Cannot open archive: damaged archive or incorrect password.");
  EXPECT_TRUE(fs::exists(work_ / "first" / "dir" / "b.txt"));
  EXPECT_EQ(ListTree(work_ / "second"), std::vector<std::string>{"damaged.zip"});
  EXPECT_EQ(ListTree(work_ / "third"), std::vector<std::string>{"copy.7z"});
}

constexpr const char* kInputRequired =
    "Input required. Open this archive in Cindral to choose a password or resolve a conflict.";

// Every refusal the destination already shows is decided before the first
// rename: the entries before the one refused are not published either.
TEST_F(HeadlessExtraction, ConflictAsksForTheInterfaceAndPublishesNothing) {
  // An existing file, also when only its ASCII case differs.
  for (const char* existing : {"a.txt", "A.TXT"}) {
    const fs::path folder = work_ / (existing[0] == 'a' ? "lower" : "upper");
    const fs::path archive = CopyFixture("conflict.zip", folder);
    WriteBytes(folder / existing, "mine\n");
    EXPECT_EQ(Headless(L"extract", {archive}), 1u);
    EXPECT_EQ(LastError(), kInputRequired);
    EXPECT_EQ(ListTree(folder), (std::vector<std::string>{existing, "conflict.zip"}));
    EXPECT_EQ(ReadBytes(folder / existing), "mine\n");
  }
  // An entry named like the archive itself.
  const fs::path self = CopyFixture("self.zip", work_ / "self");
  EXPECT_EQ(Headless(L"extract", {self}), 1u);
  EXPECT_EQ(LastError(), kInputRequired);
  EXPECT_EQ(ListTree(work_ / "self"), std::vector<std::string>{"self.zip"});
}

TEST_F(HeadlessExtraction, ExistingFolderOrFileInTheWayPublishesNothing) {
  const fs::path archive = CopyFixture("conflict.zip", work_ / "folder");
  fs::create_directory(work_ / "folder" / "a.txt");
  EXPECT_EQ(Headless(L"extract", {archive}), 1u);
  EXPECT_EQ(LastError(), "Unsafe destination conflict.");
  EXPECT_EQ(ListTree(work_ / "folder"), (std::vector<std::string>{"a.txt/", "conflict.zip"}));

  // good.zip has a.txt first, then dir/b.txt: a file "dir" stands where the
  // archive needs a folder.
  const fs::path good = CopyFixture("good.zip", work_ / "file");
  WriteBytes(work_ / "file" / "dir", "mine\n");
  EXPECT_EQ(Headless(L"extract", {good}), 1u);
  EXPECT_EQ(LastError(), "Reparse points in destination paths are blocked.");
  EXPECT_EQ(ListTree(work_ / "file"), (std::vector<std::string>{"dir", "good.zip"}));
  EXPECT_TRUE(CindralLeftovers(work_ / "file").empty());
}

// Each folder level is opened inside the one above it, and only the chain
// in use is held (ExtractCallbackTest counts the handles of many folders).
TEST_F(HeadlessExtraction, DeepTreeIsPublishedWhole) {
  const fs::path deep = CopyFixture("deep-300.zip", work_);
  ASSERT_EQ(Headless(L"extract", {deep}), 0u) << LastError();
  fs::path bottom = work_;
  for (int level = 0; level < 300; ++level) bottom /= "d";
  EXPECT_EQ(ReadBytes(Long(bottom / "bottom.txt")), "bottom\n");
  EXPECT_TRUE(CindralLeftovers(work_).empty());
}

// The build makes e2e_links/via -> real as a Unix link.
TEST_F(HeadlessExtraction, LinkInTheDestinationPublishesNothing) {
  if (!RunsUnderWine()) GTEST_SKIP() << "uses the Unix link the build makes beside the tests";
  const fs::path links = DistFolder().parent_path() / "bin" / "e2e_links";
  ASSERT_NE(GetFileAttributesW((links / "via").c_str()), INVALID_FILE_ATTRIBUTES)
      << "the build step that makes the link did not run";
  const std::vector<std::string> before = ListTree(links / "real");
  const fs::path archive = CopyFixture("through-via.zip", links);
  EXPECT_EQ(Headless(L"extract", {archive}), 1u);
  EXPECT_EQ(LastError(), "Reparse points in destination paths are blocked.");
  const bool first_published = fs::exists(links / "first-ok.txt");
  fs::remove(links / "first-ok.txt");
  fs::remove(archive);
  EXPECT_FALSE(first_published);
  EXPECT_EQ(ListTree(links / "real"), before);
  EXPECT_TRUE(CindralLeftovers(links).empty());
}

// A headless job never gets a password: the engine is refused at once, so
// the run ends instead of waiting, and the extraction as a whole fails.
TEST_F(HeadlessExtraction, EncryptedZipNeverBlocksAndPublishesNothing) {
  const fs::path archive = CopyFixture("encrypted.zip", work_);
  EXPECT_EQ(Headless(L"extract", {archive}), 1u);
  EXPECT_EQ(LastError(),
            "Extraction failed: damaged archive, incorrect password, or cancelled operation.");
  EXPECT_EQ(ListTree(work_), std::vector<std::string>{"encrypted.zip"});
}

TEST_F(HeadlessExtraction, MissingEngineFailsBeforeTheArchiveIsLookedAt) {
  fs::remove(program_.parent_path() / "Cindral.Engine.dll");
  // The archive does not exist either: the engine's text must win.
  EXPECT_EQ(Headless(L"extract", {work_ / "absent.zip"}), 1u);
  EXPECT_EQ(LastError(), "Cindral engine missing.");
}

// A request file never holds an empty list, so the empty job runs here, in
// a test program that has no engine beside it.
TEST(JobRunner, EmptyListFailsWithoutAnEngine) {
  ASSERT_FALSE(fs::exists(DistFolder().parent_path() / "bin" / "Cindral.Engine.dll"));
  WorkerSharedStateMapping mapping = CreateWorkerSharedState(NewWorkerMappingName());
  EXPECT_EQ(RunArchiveJob(false, {}, mapping.State(), 1), 1);
  EXPECT_EQ(ReadJobState(*mapping.State()), JobState::Failed);
  EXPECT_EQ(ReadSharedText(mapping.State()->message), L"Cindral engine missing.");
}

TEST(NumberedName, NumberGoesBeforeTheLastExtensionOnly) {
  EXPECT_EQ(NumberedName(L"report.pdf", 1), L"report (1).pdf");
  EXPECT_EQ(NumberedName(L"archive.tar.gz", 1), L"archive.tar (1).gz");
  EXPECT_EQ(NumberedName(L".profile", 2), L".profile (2)");
  EXPECT_EQ(NumberedName(L"README", 99999), L"README (99999)");
}

TEST(PrepareSelectionPath, DropsExtendedPrefixesAndNormalises) {
  EXPECT_EQ(PrepareSelectionPath(L"\\\\?\\UNC\\server\\share\\a.zip"), L"\\\\server\\share\\a.zip");
  EXPECT_EQ(PrepareSelectionPath(L"\\\\?\\D:\\x\\a.7z"), L"D:\\x\\a.7z");
  EXPECT_EQ(PrepareSelectionPath(L"D:\\x\\.\\y\\..\\a.zip"), L"D:\\x\\a.zip");
  EXPECT_EQ(PrepareSelectionPath(L"D:/x//y/a.zip"), L"D:\\x\\y\\a.zip");
  // The UNC prefix is matched exactly; in lower case only "\\?\" goes and
  // the rest is a relative path.
  EXPECT_EQ(PrepareSelectionPath(L"\\\\?\\unc\\server\\share\\a.zip"),
            PrepareSelectionPath(L"unc\\server\\share\\a.zip"));
}

// An engine whose archives claim one entry more than extraction accepts;
// none of the entries may be looked at.
std::atomic<int> huge_archive_property_reads{0};
std::atomic<int> huge_archive_extracts{0};

class HugeArchive final : public ComObject<abi::IInArchive> {
 public:
  HRESULT STDMETHODCALLTYPE Open(abi::IInStream*, const abi::UInt64*,
                                 abi::IArchiveOpenCallback*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetNumberOfItems(abi::UInt32* count) override {
    *count = 10000001;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetProperty(abi::UInt32, PROPID, PROPVARIANT*) override {
    ++huge_archive_property_reads;
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE Extract(const abi::UInt32*, abi::UInt32, abi::Int32,
                                    abi::IArchiveExtractCallback*) override {
    ++huge_archive_extracts;
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID, PROPVARIANT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetNumberOfProperties(abi::UInt32* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPropertyInfo(abi::UInt32, BSTR*, PROPID*, VARTYPE*) override {
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(abi::UInt32* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(abi::UInt32, BSTR*, PROPID*, VARTYPE*) override {
    return E_FAIL;
  }
};

HRESULT WINAPI CreateHugeArchive(const GUID*, const GUID* interface_id, void** out) {
  auto* archive = new HugeArchive();
  const HRESULT result = archive->QueryInterface(*interface_id, out);
  archive->Release();
  return result;
}

TEST_F(HeadlessExtraction, TooManyEntriesAreRefusedWithoutListingAny) {
  const fs::path archive = CopyFixture("good.zip", work_);
  EngineLibrary engine;
  engine.create_object = &CreateHugeArchive;
  try {
    HeadlessJobHost headless;
    ExtractArchive(engine, archive.wstring(), headless, 1);
    ADD_FAILURE() << "no refusal";
  } catch (const std::exception& failure) {
    EXPECT_STREQ(failure.what(), "Archive contains too many entries.");
  }
  EXPECT_EQ(huge_archive_property_reads, 0);
  EXPECT_EQ(huge_archive_extracts, 0);
  EXPECT_EQ(ListTree(work_), std::vector<std::string>{"good.zip"});
}

}  // namespace
}  // namespace cindral
