#include "app/ui/main_window.h"

#include <commctrl.h>
#include <dwmapi.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <array>
#include <stdexcept>
#include <utility>

#include "app/ui/layout.h"
#include "app/ui/processor_meter.h"
#include "app/ui/rendering.h"
#include "app/ui/supervision.h"
#include "app/ui/texts.h"
#include "common/archive_names.h"
#include "common/win_owners.h"

namespace cindral {
namespace {

constexpr wchar_t kWindowClass[] = L"Cindral.Window";
constexpr UINT kStartMessage = WM_APP + 1;
constexpr UINT_PTR kSuperviseTimer = 1;
constexpr UINT_PTR kAnimationTimer = 2;
// Window attributes of Windows 11 that older SDK headers do not name.
constexpr DWORD kUseImmersiveDarkMode = 20;
constexpr DWORD kWindowCornerPreference = 33;
constexpr DWORD kRoundCorners = 2;

enum ButtonId : int { kMainButton = 1, kCancelButton = 2, kLanguageButton = 3, kZoomButton = 4 };

using UniqueIcon = UniqueResource<PointerTraits<HICON, DestroyIcon>>;

struct MainWindow {
  HWND window = nullptr;
  UniqueIcon icon;
  std::array<HWND, 4> buttons{};
  float dpi_scale = 1;
  int base_content_height = kContentAroundGrid;
  bool last_run_failed = false;
  ComPtr<ITaskbarList3> taskbar;
  RunState run;
};

MainWindow& Main() {
  static MainWindow main_window;
  return main_window;
}

HWND Button(ButtonId id) { return Main().buttons[static_cast<size_t>(id - 1)]; }

bool Maximised() { return IsZoomed(Main().window) != FALSE; }

// The window's own state decides the scale: the content grows with a
// maximised window and keeps its start size in a restored one.
float Scale() {
  const MainWindow& main = Main();
  RECT client{};
  GetClientRect(main.window, &client);
  const WindowZoom zoom = Maximised() ? WindowZoom::kMaximised : WindowZoom::kRestored;
  return main.dpi_scale *
         LayoutScale(zoom, client.right, client.bottom, main.dpi_scale, main.base_content_height);
}

void SetCaption(ButtonId id, const TextPair& text) { SetWindowTextW(Button(id), Text(text)); }

const TextPair& IdleCaption() { return Main().run.pack ? kTextCreateZip : kTextExtractHere; }

void UpdateTaskbar() {
  MainWindow& main = Main();
  if (!main.taskbar) return;
  switch (ChooseTaskbarState(main.run.busy, main.last_run_failed)) {
    case TaskbarState::kNone:
      main.taskbar->SetProgressState(main.window, TBPF_NOPROGRESS);
      return;
    case TaskbarState::kNormal:
      main.taskbar->SetProgressState(main.window, TBPF_NORMAL);
      main.taskbar->SetProgressValue(main.window, static_cast<ULONGLONG>(main.run.progress * 10),
                                     1000);
      return;
    case TaskbarState::kError:
      main.taskbar->SetProgressState(main.window, TBPF_ERROR);
      main.taskbar->SetProgressValue(main.window, 1000, 1000);
      return;
  }
}

RunWindow MakeRunWindow() {
  RunWindow run_window;
  run_window.window = Main().window;
  run_window.show_working = [] {
    Main().last_run_failed = false;
    SetCaption(kMainButton, kTextWorking);
    EnableWindow(Button(kMainButton), FALSE);
    // A cancel pressed in an earlier run must not leave this one's button
    // reading "Stopping…" and disabled.
    SetCaption(kCancelButton, kTextCancel);
    EnableWindow(Button(kCancelButton), TRUE);
    ShowWindow(Button(kCancelButton), SW_SHOW);
    UpdateTaskbar();
  };
  run_window.show_try_again = [] {
    Main().last_run_failed = true;
    SetCaption(kMainButton, kTextTryAgain);
    EnableWindow(Button(kMainButton), TRUE);
    ShowWindow(Button(kCancelButton), SW_HIDE);
    UpdateTaskbar();
  };
  return run_window;
}

void Layout() {
  MainWindow& main = Main();
  RECT client{};
  GetClientRect(main.window, &client);
  const float scale = Scale();
  const auto boxes = PlaceButtons(LogicalClientSize(client.right, client.bottom, scale), scale);
  for (size_t index = 0; index < boxes.size(); ++index) {
    const PixelBox& box = boxes[index];
    SetWindowPos(main.buttons[index], nullptr, box.x, box.y, box.width, box.height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // The zoom button's glyph shows whether the window is maximised, which a
  // resize may just have changed.
  InvalidateRect(Button(kZoomButton), nullptr, FALSE);
  InvalidateRect(main.window, nullptr, FALSE);
}

void ToggleZoom(HWND window) { ShowWindow(window, IsZoomed(window) ? SW_RESTORE : SW_MAXIMIZE); }

// The archives, asked for when nothing is selected yet; an empty list when
// the dialog is missing, cancelled or gives nothing.
std::vector<std::wstring> AskForArchives(HWND owner) {
  std::vector<std::wstring> chosen;
  IFileOpenDialog* raw_dialog = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&raw_dialog)))) {
    return chosen;
  }
  const ComPtr<IFileOpenDialog> dialog = ComPtr<IFileOpenDialog>::Adopt(raw_dialog);
  const COMDLG_FILTERSPEC filter{Text(kTextOpenFilterName), L"*.zip;*.7z"};
  dialog->SetFileTypes(1, &filter);
  dialog->SetOptions(FOS_FORCEFILESYSTEM | FOS_ALLOWMULTISELECT | FOS_FILEMUSTEXIST);
  if (FAILED(dialog->Show(owner))) return chosen;
  IShellItemArray* raw_items = nullptr;
  if (FAILED(dialog->GetResults(&raw_items))) return chosen;
  const ComPtr<IShellItemArray> items = ComPtr<IShellItemArray>::Adopt(raw_items);
  DWORD count = 0;
  if (FAILED(items->GetCount(&count))) return chosen;
  for (DWORD index = 0; index < count; ++index) {
    IShellItem* raw_item = nullptr;
    if (FAILED(items->GetItemAt(index, &raw_item))) continue;
    const ComPtr<IShellItem> item = ComPtr<IShellItem>::Adopt(raw_item);
    PWSTR path = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) continue;
    chosen.emplace_back(path);
    CoTaskMemFree(path);
  }
  return chosen;
}

void Start(HWND window) {
  MainWindow& main = Main();
  if (main.run.busy) return;
  if (main.run.inputs.empty()) main.run.inputs = AskForArchives(window);
  if (main.run.inputs.empty()) return;
  StartRun(main.run, MakeRunWindow(), MeterEntryCount());
  UpdateTaskbar();
}

void Cancel() {
  StopRun(Main().run);
  SetCaption(kCancelButton, kTextStopping);
  EnableWindow(Button(kCancelButton), FALSE);
}

void FlipLanguage(HWND window) {
  FlipInterfaceLanguage();
  MainWindow& main = Main();
  // The retry hint is the window's own text, so it follows the language.
  if (main.last_run_failed && !main.run.busy) main.run.status_text = Text(kTextRetryStatus);
  SetCaption(kMainButton, main.run.busy ? kTextWorking : IdleCaption());
  SetCaption(kCancelButton, kTextCancel);
  InvalidateRect(window, nullptr, TRUE);
}

std::wstring DroppedPath(HDROP drop, UINT index) {
  const UINT length = DragQueryFileW(drop, index, nullptr, 0);
  std::wstring path(length, L'\0');
  DragQueryFileW(drop, index, path.data(), length + 1);
  return path;
}

void Drop(HWND window, HDROP drop) {
  MainWindow& main = Main();
  if (main.run.busy) {
    DragFinish(drop);
    return;
  }
  main.run.inputs.clear();
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT index = 0; index < count; ++index) {
    std::wstring path = DroppedPath(drop, index);
    if (IsSupportedArchiveName(path)) main.run.inputs.push_back(std::move(path));
  }
  main.run.pack = false;
  main.last_run_failed = false;
  SetCaption(kMainButton, kTextExtractHere);
  InvalidateRect(window, nullptr, TRUE);
  DragFinish(drop);
}

void CreateButtons(HWND window) {
  struct Spec {
    ButtonId id;
    const wchar_t* caption;
    DWORD style;
  };
  const DWORD shown = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
  const Spec specs[] = {
      {kMainButton, Text(kTextExtractHere), shown},
      {kCancelButton, Text(kTextCancel), WS_CHILD | WS_TABSTOP | BS_OWNERDRAW},
      {kLanguageButton, Text(kTextLanguageButton), shown},
      {kZoomButton, L"", shown},
  };
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  for (const Spec& spec : specs) {
    Main().buttons[static_cast<size_t>(spec.id - 1)] =
        CreateWindowExW(0, L"BUTTON", spec.caption, spec.style, 0, 0, 0, 0, window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance, nullptr);
  }
}

void Create(HWND window) {
  MainWindow& main = Main();
  main.window = window;
  main.icon.Reset(static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, 64, 64, 0)));
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(main.icon.Get()));
  const DWORD dark = 1;
  DwmSetWindowAttribute(window, kUseImmersiveDarkMode, &dark, sizeof(dark));
  DwmSetWindowAttribute(window, kWindowCornerPreference, &kRoundCorners, sizeof(kRoundCorners));
  CreateButtons(window);
  DragAcceptFiles(window, TRUE);
  StartProcessorMeter();
  SetTimer(window, kSuperviseTimer, 500, nullptr);
  SetTimer(window, kAnimationTimer, 50, nullptr);
  ITaskbarList3* raw_taskbar = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_PPV_ARGS(&raw_taskbar)))) {
    main.taskbar = ComPtr<ITaskbarList3>::Adopt(raw_taskbar);
    if (FAILED(main.taskbar->HrInit())) main.taskbar = nullptr;
  }
  Layout();
}

void Tick(HWND window) {
  SampleProcessorMeter();
  MainWindow& main = Main();
  SuperviseJobs(main.run, MakeRunWindow());
  // The run's end may have destroyed the window.
  if (IsWindow(window)) UpdateTaskbar();
}

void Close(HWND window) {
  MainWindow& main = Main();
  if (!main.run.busy) {
    DestroyWindow(window);
    return;
  }
  StopRun(main.run);
  main.run.status_text = Text(kTextCancelling);
  InvalidateRect(window, nullptr, FALSE);
}

void Destroy(HWND window) {
  MainWindow& main = Main();
  KillTimer(window, kSuperviseTimer);
  KillTimer(window, kAnimationTimer);
  ReleaseBackBuffer();
  main.run.jobs.clear();
  CloseProcessorMeter();
  main.taskbar = nullptr;
  PostQuitMessage(0);
}

void Paint(HWND window) {
  const MainWindow& main = Main();
  PaintMainWindow(window, WindowPicture{Scale(), Maximised(), main.run.busy, main.last_run_failed,
                                        main.run.pack, main.run.progress, main.run.status_text,
                                        main.run.inputs, main.icon.Get()});
}

void DpiChanged(HWND window, WPARAM wparam, LPARAM lparam) {
  Main().dpi_scale = static_cast<float>(HIWORD(wparam)) / 96.0f;
  const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
  SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
               suggested->bottom - suggested->top, SWP_NOZORDER);
  Layout();
}

LRESULT Command(HWND window, WPARAM wparam) {
  switch (LOWORD(wparam)) {
    case kMainButton:
      Start(window);
      break;
    case kCancelButton:
      Cancel();
      break;
    case kLanguageButton:
      FlipLanguage(window);
      break;
    case kZoomButton:
      ToggleZoom(window);
      break;
    default:
      break;
  }
  return 0;
}

}  // namespace

bool TogglesZoom(WPARAM key, bool maximised) {
  return key == VK_F11 || (key == VK_ESCAPE && maximised);
}

TaskbarState ChooseTaskbarState(bool busy, bool failed) {
  if (busy) return TaskbarState::kNormal;
  return failed ? TaskbarState::kError : TaskbarState::kNone;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      Create(window);
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_DPICHANGED:
      DpiChanged(window, wparam, lparam);
      return 0;
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_DRAWITEM:
      PaintButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam), Scale(), Maximised());
      return 1;
    case WM_COMMAND:
      return Command(window, wparam);
    case kStartMessage:
      Start(window);
      return 0;
    case WM_TIMER:
      if (wparam == kAnimationTimer) {
        AnimateProcessorMeter(window, Scale());
      } else {
        Tick(window);
      }
      return 0;
    case WM_DROPFILES:
      Drop(window, reinterpret_cast<HDROP>(wparam));
      return 0;
    case WM_CLOSE:
      Close(window);
      return 0;
    case WM_DESTROY:
      Destroy(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

namespace {

struct GdiplusSession {
  ULONG_PTR token = 0;
  GdiplusSession() {
    const Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
  }
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  // The cached fonts belong to GDI+ and must go before it shuts down.
  ~GdiplusSession() {
    ReleaseFonts();
    Gdiplus::GdiplusShutdown(token);
  }
};

void RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = MainWindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = kWindowClass;
  RegisterClassW(&window_class);
}

void RunMessageLoop(HWND window) {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    const bool ours = message.hwnd == window || IsChild(window, message.hwnd);
    if (message.message == WM_KEYDOWN && ours && TogglesZoom(message.wParam, Maximised())) {
      ToggleZoom(window);
      continue;
    }
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

int RunMainWindow(bool pack, std::vector<std::wstring> inputs, StartMode start) {
  const GdiplusSession gdiplus;
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass(instance);

  MainWindow& main = Main();
  main.run.pack = pack;
  main.run.inputs = std::move(inputs);
  main.dpi_scale = static_cast<float>(GetDpiForSystem()) / 96.0f;
  const DWORD processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  const size_t count = processors < 1 ? 1 : processors;
  main.base_content_height = StartGridHeight(count) + kContentAroundGrid;
  const WindowSize size = StartWindowSize(count, main.dpi_scale);
  const HWND window = CreateWindowExW(
      0, kWindowClass, Text(kTextTitle),
      WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CLIPCHILDREN, CW_USEDEFAULT,
      CW_USEDEFAULT, size.width, size.height, nullptr, nullptr, instance, nullptr);
  if (!window) throw std::runtime_error("Cannot create Cindral window.");
  if (pack) SetCaption(kMainButton, kTextCreateZip);
  ShowWindow(window, SW_SHOW);
  if (start == StartMode::kStartAtOnce) PostMessageW(window, kStartMessage, 0, 0);
  RunMessageLoop(window);
  return 0;
}

}  // namespace cindral
