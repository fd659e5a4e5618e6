#include "ui/win32/main_window.h"

// clang-format off
#include "ui/win32/win32_api.h"
#include <dbt.h>
#include <shellapi.h>
// clang-format on

// mingw-w64's hidsdi.h declares C functions without extern "C" guards.
extern "C" {
#include <hidsdi.h>
}

#include <cstddef>
#include <memory>
#include <string>

#include "content/http_backend.h"
#include "device/chidcmd.h"
#include "port/window_port.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "ui/shell/controller.h"
#include "ui/shell/controls.h"
#include "ui/win32/win32_port.h"
#include "vqr03_resources.h"
#include "workflow/workers.h"

namespace vqr::win32 {

namespace {

constexpr int kVersionMajor = 3;
constexpr int kVersionMinor = 1;
constexpr UINT_PTR kSearchTimer = 0;
constexpr UINT kSearchPeriodMs = 1000;
constexpr DWORD kMainStyle = WS_CAPTION | WS_THICKFRAME;  // no system menu, no close box

// The window thread's state. Only the window thread reads or writes these after start-up;
// workers reach the window through the port. Every text is formatted into a local string of
// the thread that shows it, so no text buffer is shared between threads.
HINSTANCE g_instance = nullptr;
HWND g_mainWindow = nullptr;
WorkerEntries g_workers{IdentifyThread, UpdateThread};
WorkerContext g_context;
std::unique_ptr<Win32Port> g_port;

// The search timer is timer 0 of the main window.
class WindowTimer final : public ui::SearchTimer {
 public:
  void StartSearchTimer() override {
    SetTimer(g_mainWindow, kSearchTimer, kSearchPeriodMs, nullptr);
  }
  void StopSearchTimer() override { KillTimer(g_mainWindow, kSearchTimer); }
};
WindowTimer g_timer;
std::unique_ptr<ui::WindowController> g_controller;

std::u16string TableString(int id) {
  return LoadTableString(g_instance, id);
}

// The device label while searching: entry 136 with the count of seconds.
std::u16string SearchLabel(std::int32_t count) {
  return text::FormatText(TableString(text::kStrSearching), {count});
}

// Creates the control of the control table with `id`, with `text` and the style bits beyond
// WS_CHILD | WS_VISIBLE.
HWND CreateControl(HWND parent, int id, const std::u16string& text, DWORD style) {
  const ui::ControlSpec& control = *ui::FindControl(id);
  const ui::ControlRect& r = control.rect;
  return CreateWindowExW(0, control.windowClass, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style,
                         r.x, r.y, r.width, r.height, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_instance, nullptr);
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

// True when the broadcast names a device interface whose path holds the vendor field "0416"
// at characters 12 to 15. The name is only read within the size the broadcast declares and
// up to its terminating 0, so a short or malformed broadcast cannot be read past its end.
bool IsOurVendorInterface(const DEV_BROADCAST_HDR* header) {
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return false;
  constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header->dbch_size < kNameOffset) return false;
  const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
  const std::size_t units = (header->dbch_size - kNameOffset) / sizeof(wchar_t);
  constexpr std::size_t kVendorAt = 12;
  constexpr wchar_t kVendor[] = L"0416";
  if (units < kVendorAt + 4) return false;
  for (std::size_t i = 0; i < kVendorAt + 4; ++i)
    if (broadcast->dbcc_name[i] == L'\0') return false;
  for (std::size_t i = 0; i < 4; ++i)
    if (broadcast->dbcc_name[kVendorAt + i] != kVendor[i]) return false;
  return true;
}

// The unplug of an interface whose path names the device's vendor: back to searching.
void OnDeviceChange(WPARAM event, LPARAM data) {
  if (event != DBT_DEVICEREMOVECOMPLETE || !g_controller) return;
  if (!IsOurVendorInterface(reinterpret_cast<const DEV_BROADCAST_HDR*>(data))) return;
  g_controller->OnInterfaceRemoved(kDeviceVendor);
}

// Closes `window` when it is a dialog of this process that another thread shows (a worker's
// message box). The window thread's own dialogs (the about box) are left alone.
BOOL CALLBACK CloseWorkerMessageBox(HWND window, LPARAM) {
  DWORD process = 0;
  const DWORD thread = GetWindowThreadProcessId(window, &process);
  wchar_t name[8] = {};
  if (process == GetCurrentProcessId() && thread != GetCurrentThreadId() &&
      GetClassNameW(window, name, 8) > 0 && std::wstring(name) == L"#32770")
    PostMessageW(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

// The workers the controller starts, or the tests' stand-ins for them.
bool StartWorkerEntry(WorkerEntry entry) {
  const WorkerEntry chosen = entry == &IdentifyThread ? g_workers.identify : g_workers.update;
  return g_controller->WorkerThreads().Start(chosen);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case VQR_IDM_ABOUT:
          DialogBoxParamW(g_instance, MAKEINTRESOURCEW(VQR_IDD_ABOUT), window, AboutProc, 0);
          return 0;
        case ui::kStartButton:
          if (g_controller) g_controller->OnStart();
          return 0;
        case ui::kExitButton:
          DestroyWindow(window);
          return 0;
        default:
          break;
      }
      break;
    case WM_TIMER:
      if (g_controller) g_controller->Tick();
      return 0;
    case WM_DEVICECHANGE:
      OnDeviceChange(wParam, lParam);
      return 0;
    case Win32Port::kBatchMessage:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return 0;
    case Win32Port::kEndMessage:
      DestroyWindow(window);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void SetWorkerEntries(WorkerEntries entries) {
  g_workers = entries.identify != nullptr && entries.update != nullptr
                  ? entries
                  : WorkerEntries{IdentifyThread, UpdateThread};
}

HWND MainWindow() {
  return g_mainWindow;
}

ui::WindowPort& Port() {
  return g_port ? static_cast<ui::WindowPort&>(*g_port) : ui::NullPort();
}

void SetWorkerContext(WorkerContext context) {
  g_context = std::move(context);
}

void ShutDownMainWindow() {
  if (g_port) g_port->Close();
  // A message box that a worker shows outlives a main window destroyed under it; it is
  // closed here so that the worker can return and be joined.
  if (g_controller) g_controller->Shutdown([] { EnumWindows(CloseWorkerMessageBox, 0); });
  g_controller.reset();
  g_port.reset();
  g_mainWindow = nullptr;
}

HWND CreateMainWindow(HINSTANCE instance, int showCommand) {
  ShutDownMainWindow();
  g_instance = instance;

  const std::wstring title =
      Wide(text::FormatText(u" VQR03   [%2d.%2d ]", {kVersionMajor, kVersionMinor}));
  const std::wstring className = Wide(TableString(VQR_IDC_MAIN));

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(VQR_IDI_LARGE));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszMenuName = MAKEINTRESOURCEW(VQR_IDC_MAIN);  // no such menu: no menu bar
  windowClass.lpszClassName = className.c_str();
  windowClass.hIconSm = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(VQR_IDI_SMALL), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  RegisterClassExW(&windowClass);  // a second window of the process finds the class there

  // Centred on the desktop's client area with signed division, as a 400 x 400 window.
  RECT desktop;
  GetClientRect(GetDesktopWindow(), &desktop);
  const int x = static_cast<int>(desktop.right - desktop.left) / 2 - ui::kWindowSize / 2;
  const int y = static_cast<int>(desktop.bottom - desktop.top) / 2 - ui::kWindowSize / 2;
  HWND window =
      CreateWindowExW(0, className.c_str(), title.c_str(), kMainStyle, x, y, ui::kWindowSize,
                      ui::kWindowSize, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return nullptr;
  g_mainWindow = window;
  g_port = std::make_unique<Win32Port>(instance, window);
  WorkerContext context = g_context;
  context.port = g_port.get();
  if (context.http == nullptr) context.http = &PlatformHttpBackend();
  g_controller = std::make_unique<ui::WindowController>(*g_port, g_timer, std::move(context));
  g_controller->SetWorkerStarter(&StartWorkerEntry);

  ShowWindow(window, showCommand);
  UpdateWindow(window);

  CreateControl(window, ui::kDeviceGroup, TableString(text::kStrDeviceGroup), BS_GROUPBOX);
  CreateControl(window, ui::kDeviceLabel, SearchLabel(0), SS_CENTER);
  CreateControl(window, ui::kVersionGroup, TableString(text::kStrVersionGroup), BS_GROUPBOX);
  // The blank label lies under the image list: it clips its siblings so that, however the
  // two are repainted, it never paints over the list.
  CreateControl(window, ui::kBlankLabel, u"", SS_CENTER | WS_CLIPSIBLINGS);
  HWND startButton =
      CreateControl(window, ui::kStartButton, TableString(text::kStrStart), BS_DEFPUSHBUTTON);
  CreateControl(window, ui::kExitButton, TableString(text::kStrExit), BS_DEFPUSHBUTTON);
  EnableWindow(startButton, FALSE);
  g_timer.StartSearchTimer();
  HWND imageList = CreateControl(window, ui::kImageList, u"", CBS_DROPDOWNLIST | CBS_HASSTRINGS);
  // The image list lies over the blank label, which was created before it: put the list on top
  // of its siblings so that it is the one drawn there.
  SetWindowPos(imageList, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  // Unplug notices for every interface of the HID class. The filter is the whole record,
  // 32 bytes on 32- and 64-bit Windows alike (the one-unit name rounds up to the alignment).
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  static_assert(sizeof filter == 32);
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HidD_GetHidGuid(&filter.dbcc_classguid);
  if (RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) == nullptr) {
    DestroyWindow(window);
    return nullptr;
  }
  return window;
}

int RunMessageLoop(HINSTANCE instance, HWND mainWindow) {
  HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(VQR_IDC_MAIN));
  MSG message{};
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    if (!TranslateAcceleratorW(mainWindow, accelerators, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return got == 0 ? static_cast<int>(message.wParam) : 0;
}

int RunMainWindow(HINSTANCE instance, int showCommand) {
  HWND window = CreateMainWindow(instance, showCommand);
  if (window == nullptr) {
    ShutDownMainWindow();
    return 0;
  }
  const int code = RunMessageLoop(instance, window);
  ShutDownMainWindow();
  return code;
}

bool IsDemoCommandLine(const wchar_t* commandLine) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(commandLine, &count);
  if (arguments == nullptr) return false;
  const bool demo = count == 2 && std::wstring(arguments[1]) == L"--demo";
  LocalFree(arguments);
  return demo;
}

}  // namespace vqr::win32
