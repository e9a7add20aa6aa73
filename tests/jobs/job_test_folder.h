// A fresh folder per test on the real file system, removed afterwards.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace cindral::testing {

class JobFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("cindral-jobs-" + std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::filesystem::path WriteFile(const std::wstring& name, const std::string& content) {
    const std::filesystem::path path = folder_ / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
  }

  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  }

  std::filesystem::path folder_;
};

}  // namespace cindral::testing
