#include "app/entry/command_line_grammar.h"

#include <cwctype>
#include <limits>

#include "common/archive_names.h"

namespace cindral {
namespace {

std::vector<std::wstring> ArgumentsFrom(const std::vector<std::wstring>& arguments, size_t first) {
  if (first >= arguments.size()) return {};
  return std::vector<std::wstring>(arguments.begin() + static_cast<ptrdiff_t>(first),
                                   arguments.end());
}

}  // namespace

uint32_t ParseThreadCount(const std::wstring& text) {
  size_t position = 0;
  while (position < text.size() && std::iswspace(text[position])) ++position;
  bool negative = false;
  if (position < text.size() && (text[position] == L'+' || text[position] == L'-')) {
    negative = text[position] == L'-';
    ++position;
  }
  // Saturates instead of wrapping, so a huge count stays huge, never small.
  constexpr uint64_t kLimit = std::numeric_limits<int32_t>::max();
  uint64_t value = 0;
  for (; position < text.size() && text[position] >= L'0' && text[position] <= L'9'; ++position) {
    value = value * 10 + static_cast<uint64_t>(text[position] - L'0');
    if (value > kLimit) value = kLimit;
  }
  if (negative || value < 1) return 1;
  return static_cast<uint32_t>(value);
}

LaunchChoice ChooseLaunch(const std::vector<std::wstring>& arguments) {
  const size_t real_count = arguments.empty() ? 0 : arguments.size() - 1;
  const std::wstring first = real_count >= 1 ? arguments[1] : std::wstring();
  LaunchChoice choice;

  if (first == L"--defaults" && real_count == 1) {
    choice.role = Role::kDefaultApps;
    return choice;
  }
  if (first == L"--worker" && real_count >= 4) {
    choice.role = Role::kWorker;
    choice.request_path = arguments[2];
    choice.mapping_name = arguments[3];
    choice.thread_count = ParseThreadCount(arguments[4]);
    return choice;
  }
  if ((first == L"--headless-pack" || first == L"--headless-extract") && real_count >= 2) {
    choice.role = Role::kHeadless;
    choice.pack = first == L"--headless-pack";
    choice.paths = ArgumentsFrom(arguments, 2);
    return choice;
  }
  if (first == L"--request" && real_count >= 2) {
    choice.selection = InterfaceSelection::kRequestFile;
    choice.request_path = arguments[2];
    choice.start_at_once = true;
    return choice;
  }
  if ((first == L"--extract" || first == L"--pack") && real_count >= 2) {
    choice.selection = InterfaceSelection::kArguments;
    choice.pack = first == L"--pack";
    choice.paths = ArgumentsFrom(arguments, 2);
    choice.start_at_once = true;
    return choice;
  }
  choice.selection = InterfaceSelection::kPreload;
  for (const std::wstring& argument : ArgumentsFrom(arguments, 1)) {
    if (IsSupportedArchiveName(argument)) choice.paths.push_back(argument);
  }
  return choice;
}

}  // namespace cindral
