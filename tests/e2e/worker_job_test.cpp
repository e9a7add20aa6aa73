// Jobs through a real worker process on a shared state made here, with the
// test answering the prompts the way the interface would.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/entry/worker_shared_state.h"
#include "tests/e2e/job_support.h"

namespace cindral {
namespace {

using namespace cindral::testing;

constexpr const char kFromArchive[] = "a from archive\n";

class WorkerConflict : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    archive_ = CopyFixture("conflict.zip", work_);
    WriteBytes(work_ / "a.txt", "mine\n");
    worker_.Start(program_, false, {archive_.wstring()});
  }

  // Waits for the conflict question about name and answers it.
  void Answer(const std::string& name, PromptAnswer answer) {
    ASSERT_TRUE(worker_.WaitForPrompt());
    EXPECT_EQ(worker_.State().prompt_kind, static_cast<LONG>(PromptKind::Conflict));
    EXPECT_EQ(ReadSharedText(worker_.State().current_item), (work_ / U8(name)).wstring());
    AnswerWorkerPrompt(worker_.State(), answer);
  }

  void ExpectDone() {
    EXPECT_EQ(worker_.Wait(), 0u) << Utf8(ReadSharedText(worker_.State().message));
    EXPECT_EQ(ReadJobState(worker_.State()), JobState::Done);
    EXPECT_EQ(ReadSharedText(worker_.State().result_path), work_.wstring());
    EXPECT_EQ(ReadBytes(work_ / "first.txt"), "first from archive\n");
    EXPECT_EQ(ReadBytes(work_ / "last.txt"), "last from archive\n");
    EXPECT_TRUE(CindralLeftovers(work_).empty());
  }

  fs::path archive_;
  WorkerProcess worker_;
};

TEST_F(WorkerConflict, SkipKeepsTheExistingFile) {
  Answer("a.txt", PromptAnswer::Skip);
  ExpectDone();
  EXPECT_EQ(ReadBytes(work_ / "a.txt"), "mine\n");
  EXPECT_EQ(ListTree(work_),
            (std::vector<std::string>{"a.txt", "conflict.zip", "first.txt", "last.txt"}));
}

TEST_F(WorkerConflict, ReplacePutsTheArchiveContentInPlace) {
  Answer("a.txt", PromptAnswer::Replace);
  ExpectDone();
  EXPECT_EQ(ReadBytes(work_ / "a.txt"), kFromArchive);
  EXPECT_EQ(ListTree(work_),
            (std::vector<std::string>{"a.txt", "conflict.zip", "first.txt", "last.txt"}));
}

TEST_F(WorkerConflict, CancelEndsAsCancelledAndKeepsWhatWasPublished) {
  Answer("a.txt", PromptAnswer::Cancel);
  EXPECT_EQ(worker_.Wait(), 2u);
  EXPECT_EQ(ReadJobState(worker_.State()), JobState::Cancelled);
  EXPECT_EQ(ReadSharedText(worker_.State().message), L"Cancelled.");
  EXPECT_EQ(ReadBytes(work_ / "a.txt"), "mine\n");
  EXPECT_EQ(ListTree(work_), (std::vector<std::string>{"a.txt", "conflict.zip", "first.txt"}));
}

// The worker is started by SetUp before "a (1).txt" exists, but it cannot
// reach that name before the first question is answered.
class WorkerKeepBoth : public WorkerConflict {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    archive_ = CopyFixture("conflict.zip", work_);
    WriteBytes(work_ / "a.txt", "mine\n");
    WriteBytes(work_ / "a (1).txt", "mine too\n");
    worker_.Start(program_, false, {archive_.wstring()});
  }
};

TEST_F(WorkerKeepBoth, AsksAgainForEachTakenNumberedName) {
  Answer("a.txt", PromptAnswer::KeepBoth);
  Answer("a (1).txt", PromptAnswer::KeepBoth);
  ExpectDone();
  EXPECT_EQ(ReadBytes(work_ / "a.txt"), "mine\n");
  EXPECT_EQ(ReadBytes(work_ / "a (1).txt"), "mine too\n");
  EXPECT_EQ(ReadBytes(work_ / "a (2).txt"), kFromArchive);
}

TEST_F(WorkerKeepBoth, ReplaceAtTheSecondQuestionReplacesTheNumberedFile) {
  Answer("a.txt", PromptAnswer::KeepBoth);
  Answer("a (1).txt", PromptAnswer::Replace);
  ExpectDone();
  EXPECT_EQ(ReadBytes(work_ / "a.txt"), "mine\n");
  EXPECT_EQ(ReadBytes(work_ / "a (1).txt"), kFromArchive);
  EXPECT_FALSE(fs::exists(work_ / "a (2).txt"));
}

using WorkerPassword = JobTest;

TEST_F(WorkerPassword, RightPasswordExtracts) {
  const fs::path archive = CopyFixture("encrypted.zip", work_);
  WorkerProcess worker;
  worker.Start(program_, false, {archive.wstring()});
  ASSERT_TRUE(worker.WaitForPrompt());
  EXPECT_EQ(worker.State().prompt_kind, static_cast<LONG>(PromptKind::Password));
  AnswerWorkerPrompt(worker.State(), PromptAnswer::PasswordGiven, L"secret");
  EXPECT_EQ(worker.Wait(), 0u);
  EXPECT_EQ(ReadJobState(worker.State()), JobState::Done);
  std::string secret;
  for (int i = 0; i < 50; ++i) secret += "the secret text\n";
  EXPECT_EQ(ReadBytes(work_ / "secret.txt"), secret);
  EXPECT_EQ(ReadSharedText(worker.State().password), L"");
  EXPECT_TRUE(CindralLeftovers(work_).empty());
}

TEST_F(WorkerPassword, WrongPasswordFailsWithTheBilingualTextAndPublishesNothing) {
  const fs::path archive = CopyFixture("encrypted.zip", work_);
  WorkerProcess worker;
  worker.Start(program_, false, {archive.wstring()});
  ASSERT_TRUE(worker.WaitForPrompt());
  AnswerWorkerPrompt(worker.State(), PromptAnswer::PasswordGiven, L"wrong");
  EXPECT_EQ(worker.Wait(), 1u);
  EXPECT_EQ(ReadJobState(worker.State()), JobState::Failed);
  EXPECT_EQ(ReadSharedText(worker.State().message), L"Incorrect password / Onjuist wachtwoord.");
  EXPECT_EQ(ReadSharedText(worker.State().password), L"");
  EXPECT_EQ(ListTree(work_), std::vector<std::string>{"encrypted.zip"});
}

using WorkerMessages = JobTest;

// Failure texts carry paths, and the window shows the message field as it
// stands: characters beyond ASCII and beyond the Basic Multilingual Plane
// must arrive unchanged.
TEST_F(WorkerMessages, APathInAFailureTextArrivesUnchanged) {
  const fs::path archive = work_ / U8("caf\u00e9 \U0001D11E.zip");
  WorkerProcess worker;
  worker.Start(program_, false, {archive.wstring()});
  EXPECT_EQ(worker.Wait(), 1u);
  EXPECT_EQ(ReadJobState(worker.State()), JobState::Failed);
  EXPECT_EQ(ReadSharedText(worker.State().message),
            L"Cannot read source file (Windows 2): " + archive.wstring());
  EXPECT_TRUE(CindralLeftovers(work_).empty());
}

using WorkerPack = JobTest;

TEST_F(WorkerPack, StopRequestedBeforeTheStartPublishesNothing) {
  fs::create_directories(work_ / "photos" / "inner");
  WriteBytes(work_ / "photos" / "inner" / "p.txt", "picture\n");
  WorkerProcess worker;
  RequestWorkerStop(worker.State());
  worker.Start(program_, true, {(work_ / "photos").wstring()});
  EXPECT_EQ(worker.Wait(), 2u);
  EXPECT_EQ(ReadJobState(worker.State()), JobState::Cancelled);
  const std::wstring message = ReadSharedText(worker.State().message);
  EXPECT_TRUE(message == L"Cancelled." || message == L"Compression failed or cancelled.")
      << Utf8(message);
  EXPECT_EQ(ListTree(work_),
            (std::vector<std::string>{"photos/", "photos/inner/", "photos/inner/p.txt"}));
}

TEST_F(WorkerPack, SuccessReportsTheArchivePath) {
  fs::create_directories(work_ / "photos");
  WriteBytes(work_ / "photos" / "p.txt", "picture\n");
  WorkerProcess worker;
  worker.Start(program_, true, {(work_ / "photos").wstring()});
  EXPECT_EQ(worker.Wait(), 0u);
  EXPECT_EQ(ReadJobState(worker.State()), JobState::Done);
  EXPECT_EQ(ReadSharedText(worker.State().result_path), (work_ / "photos.zip").wstring());
  EXPECT_GT(ReadTotal(worker.State()), 0);
  EXPECT_EQ(ReadCompleted(worker.State()), ReadTotal(worker.State()));
  EXPECT_TRUE(CindralLeftovers(work_).empty());
}

TEST_F(WorkerPack, LockedFileIsSkippedWithTheIncompleteNotice) {
  fs::create_directories(work_ / "photos");
  WriteBytes(work_ / "photos" / "a.txt", "first\n");
  WriteBytes(work_ / "photos" / "locked.txt", "held by another program\n");
  WriteBytes(work_ / "photos" / "z.txt", "last\n");
  // Held without any sharing, as a program holding a file exclusively does.
  UniqueHandle lock(CreateFileW((work_ / "photos" / "locked.txt").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock);
  WorkerProcess worker;
  worker.Start(program_, true, {(work_ / "photos").wstring()});
  EXPECT_EQ(worker.Wait(), 0u);
  EXPECT_EQ(ReadJobState(worker.State()), JobState::Done);
  const std::wstring message = ReadSharedText(worker.State().message);
  EXPECT_EQ(message.rfind(L"ZIP onvolledig", 0), 0u) << Utf8(message);
  EXPECT_TRUE(message.ends_with(L"\nlocked.txt") || message.ends_with(L"\\locked.txt"))
      << Utf8(message);
  EXPECT_TRUE(fs::exists(work_ / "photos.zip"));
  EXPECT_TRUE(CindralLeftovers(work_).empty());
}

TEST_F(WorkerPack, CancelDuringCompressionPublishesNothing) {
  fs::create_directories(work_ / "big");
  std::string block;
  for (int i = 0; block.size() < (4u << 20); ++i)
    block += "line " + std::to_string(i * 7919 % 100003) + "\n";
  for (int i = 0; i < 24; ++i)
    WriteBytes(work_ / "big" / ("part" + std::to_string(i) + ".txt"), block);
  WorkerProcess worker;
  worker.Start(program_, true, {(work_ / "big").wstring()});
  // Stop once the engine has announced its work and begun on it.
  for (int wait = 0; wait < 6000 && ReadCompleted(worker.State()) == 0; ++wait) Sleep(5);
  RequestWorkerStop(worker.State());
  EXPECT_EQ(worker.Wait(), 2u);
  EXPECT_EQ(ReadJobState(worker.State()), JobState::Cancelled);
  const std::wstring message = ReadSharedText(worker.State().message);
  EXPECT_TRUE(message == L"Cancelled." || message == L"Compression failed or cancelled.")
      << Utf8(message);
  EXPECT_FALSE(fs::exists(work_ / "big.zip"));
  EXPECT_TRUE(CindralLeftovers(work_).empty());
}

}  // namespace
}  // namespace cindral
