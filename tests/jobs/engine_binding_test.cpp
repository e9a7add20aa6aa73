// The binding is tested in real processes: engine_probe is copied into a
// fresh folder beside a stand-in engine named as the real one, started, and
// its result file read back.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/process_runner.h"
#include "tests/wine_support.h"

namespace cindral {
namespace {

namespace fs = std::filesystem;

class EngineBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("cindral-binding-" + std::to_string(GetCurrentProcessId()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "app");
    fs::copy_file(testing::ThisProgram().parent_path() / "engine_probe.exe",
                  root_ / "app" / "engine_probe.exe");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Puts a stand-in engine into folder under the name the binding loads.
  void PlaceEngine(const char* engine, const fs::path& folder) {
    fs::create_directories(folder);
    fs::copy_file(
        testing::ThisProgram().parent_path() / (std::string("test_engine_") + engine + ".dll"),
        folder / "Cindral.Engine.dll", fs::copy_options::overwrite_existing);
  }

  std::string RunProbe(std::vector<std::wstring> arguments) {
    const fs::path result = root_ / "result.txt";
    fs::remove(result);
    arguments.insert(arguments.begin(), result.wstring());
    EXPECT_EQ(testing::RunProgram(root_ / "app" / "engine_probe.exe", arguments), 0u);
    std::ifstream stream(result, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  }

  fs::path root_;
};

// Restores the current folder and PATH of this process, which the probe inherits.
class InheritedSearchPlaces {
 public:
  InheritedSearchPlaces(const fs::path& folder) {
    old_current_ = fs::current_path();
    std::wstring path(32767, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size())));
    old_path_ = path;
    fs::current_path(folder);
    SetEnvironmentVariableW(L"PATH", (folder.wstring() + L";" + old_path_).c_str());
  }
  ~InheritedSearchPlaces() {
    fs::current_path(old_current_);
    SetEnvironmentVariableW(L"PATH", old_path_.c_str());
  }

 private:
  fs::path old_current_;
  std::wstring old_path_;
};

TEST_F(EngineBindingTest, LoadsOnlyFromTheExecutablesFolder) {
  const fs::path decoy = root_ / "decoy";
  PlaceEngine("recording", decoy);
  {
    const InheritedSearchPlaces search(decoy);
    EXPECT_EQ(RunProbe({L"load"}), "Cindral engine missing.\nmodule absent then freed\n");
  }
  // The same library beside the program is found, so the decoy was loadable.
  PlaceEngine("recording", root_ / "app");
  EXPECT_EQ(RunProbe({L"load"}), "loaded\nmodule held then freed\n");
}

TEST_F(EngineBindingTest, LibraryWithoutCreateObjectIsInvalidAndFreed) {
  PlaceEngine("no_create_object", root_ / "app");
  EXPECT_EQ(RunProbe({L"load"}), "Invalid Cindral engine.\nmodule held then freed\n");
}

TEST_F(EngineBindingTest, HandlerWithoutSetPropertiesIsLeftAlone) {
  PlaceEngine("no_set_properties", root_ / "app");
  EXPECT_EQ(RunProbe({L"configure", L"4", L"1", L"0"}),
            "loaded\nconfigured\nmodule held then freed\n");
}

TEST_F(EngineBindingTest, ExtractionSetsOnlyTheThreadCountRaisedToOne) {
  PlaceEngine("recording", root_ / "app");
  EXPECT_EQ(RunProbe({L"configure", L"0", L"0", L"0"}),
            "loaded\nconfigured\nmt=19:1\nmodule held then freed\n");
  // A handler refusing method and level does not matter when only "mt" is set.
  EXPECT_EQ(RunProbe({L"configure", L"3", L"0", L"1"}),
            "loaded\nconfigured\nmt=19:3\nmodule held then freed\n");
}

TEST_F(EngineBindingTest, PackingSetsThreadsMethodAndLevel) {
  PlaceEngine("recording", root_ / "app");
  EXPECT_EQ(RunProbe({L"configure", L"6", L"1", L"0"}),
            "loaded\nconfigured\nmt=19:6\nm=8:Deflate\nx=19:5\nmodule held then freed\n");
  EXPECT_EQ(RunProbe({L"configure", L"6", L"1", L"1"}),
            "loaded\nCannot configure archive engine.\nmt=19:6\nm=8:Deflate\nx=19:5\n"
            "module held then freed\n");
}

}  // namespace
}  // namespace cindral
