// Loads the engine the way a job does, from its own folder, and writes what
// happened into a result file, one fact a line. The binding tests copy this
// program beside a stand-in engine and read the file afterwards.
//
//   engine_probe <result file> load
//   engine_probe <result file> configure <threads> <full 0|1> <reject 0|1>
#include <windows.h>

#include <exception>
#include <fstream>
#include <string>

#include "app/jobs/engine_binding.h"

namespace {

using cindral::ComPtr;
using cindral::EngineLibrary;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string Configure(EngineLibrary& engine, unsigned threads, bool full, bool reject) {
  if (reject) {
    auto reject_extra = reinterpret_cast<void (*)()>(
        reinterpret_cast<void*>(GetProcAddress(engine.module.Get(), "RejectExtraProperties")));
    if (reject_extra == nullptr) return "no RejectExtraProperties";
    reject_extra();
  }
  ComPtr<IUnknown> handler;
  if (engine.create_object(&cindral::abi::kZipHandlerClassId, &cindral::abi::kIidInArchive,
                           handler.PutVoid()) != S_OK)
    return "CreateObject failed";
  std::string outcome = "configured";
  try {
    cindral::ConfigureHandler(
        handler.Get(), threads,
        full ? cindral::HandlerUse::kZipWriting : cindral::HandlerUse::kReading);
  } catch (const std::exception& failure) {
    outcome = failure.what();
  }
  auto recorded = reinterpret_cast<const wchar_t* (*)()>(
      reinterpret_cast<void*>(GetProcAddress(engine.module.Get(), "RecordedProperties")));
  outcome += "\n";
  if (recorded != nullptr) outcome += Narrow(recorded());
  return outcome;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  std::ofstream result(argv[1], std::ios::binary | std::ios::trunc);
  const std::wstring command = argv[2];

  EngineLibrary engine;
  try {
    cindral::LoadEngine(engine);
    result << "loaded\n";
  } catch (const std::exception& failure) {
    result << failure.what() << "\n";
  }
  if (command == L"configure" && argc == 6 && engine.create_object != nullptr)
    result << Configure(engine, std::stoul(argv[3]), argv[4][0] == L'1', argv[5][0] == L'1');
  const bool held_before_free = GetModuleHandleW(L"Cindral.Engine.dll") != nullptr;
  cindral::FreeEngine(engine);
  const bool held_after_free = GetModuleHandleW(L"Cindral.Engine.dll") != nullptr;
  result << "module " << (held_before_free ? "held" : "absent") << " then "
         << (held_after_free ? "held" : "freed") << "\n";
  return 0;
}
