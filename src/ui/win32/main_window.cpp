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

#include "device/chidcmd.h"
#include "ui/string_table.h"
#include "ui/text_format.h"
#include "ui/win32/win32_port.h"
#include "ui/window_port.h"
#include "vqr03_resources.h"
#include "vqr_version.h"
#include "workflow/workers.h"

namespace vqr::win32 {

namespace {

constexpr int kVersionMajor = VQR_VERSION_MAJOR;
constexpr int kVersionMinor = VQR_VERSION_MINOR;
constexpr UINT_PTR kSearchTimer = 0;
constexpr UINT kSearchPeriodMs = 1000;
constexpr int kWindowSize = 400;
constexpr DWORD kMainStyle = WS_CAPTION | WS_THICKFRAME;  // no system menu, no close box

// The window thread's state. Only the window thread reads or writes these after start-up;
// workers reach the window through the port. Every text is formatted into a local string of
// the thread that shows it, so no text buffer is shared between threads.
HINSTANCE g_instance = nullptr;
HWND g_mainWindow = nullptr;
HWND g_deviceLabel = nullptr;
HWND g_startButton = nullptr;
HWND g_imageList = nullptr;
std::int32_t g_searchCount = 0;
std::uint8_t g_devicePresent = 0;
WorkerEntries g_workers{IdentifyThread, UpdateThread};
std::unique_ptr<Win32Port> g_port;

std::u16string TableString(int id) {
  return LoadTableString(g_instance, id);
}

// The device label while searching: entry 136 with the count of seconds.
std::u16string SearchLabel(std::int32_t count) {
  return ui::FormatText(TableString(ui::kStrSearching), {count});
}

HWND CreateControl(HWND parent, const wchar_t* windowClass, const std::u16string& text, DWORD style,
                   int x, int y, int width, int height, int id) {
  return CreateWindowExW(0, windowClass, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style, x, y,
                         width, height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         g_instance, nullptr);
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

// One tick of the search: open the device if it is there and hand it to the identification
// worker, else count the second in the device label.
void OnSearchTick(HWND window) {
  if (FindAndOpenDevice() != 0) {
    KillTimer(window, kSearchTimer);
    g_devicePresent = 1;
    StartWorker(g_workers.identify);  // a failed start is not reported
    return;
  }
  ++g_searchCount;
  const std::u16string label = SearchLabel(g_searchCount);
  SetWindowTextW(g_deviceLabel, Wide(label).c_str());
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

// The unplug of the device: back to searching, in this order.
void OnDeviceChange(HWND window, WPARAM event, LPARAM data) {
  if (g_devicePresent != 1 || event != DBT_DEVICEREMOVECOMPLETE) return;
  if (!IsOurVendorInterface(reinterpret_cast<const DEV_BROADCAST_HDR*>(data))) return;
  // An identification still running drops its results rather than refill the list below.
  NoteDeviceRemoved();

  EnableWindow(g_startButton, FALSE);
  SetWindowTextW(g_startButton, Wide(TableString(ui::kStrStart)).c_str());
  const LRESULT count = SendMessageW(g_imageList, CB_GETCOUNT, 0, 0);
  for (LRESULT index = count - 1; index >= 0; --index)
    SendMessageW(g_imageList, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
  EnableWindow(g_imageList, FALSE);
  g_searchCount = 0;
  SetTimer(window, kSearchTimer, kSearchPeriodMs, nullptr);
  g_devicePresent = 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case VQR_IDM_ABOUT:
          DialogBoxParamW(g_instance, MAKEINTRESOURCEW(VQR_IDD_ABOUT), window, AboutProc, 0);
          return 0;
        case ui::kStartButton:
          StartWorker(g_workers.update);
          return 0;
        case ui::kExitButton:
          DestroyWindow(window);
          return 0;
        default:
          break;
      }
      break;
    case WM_TIMER:
      OnSearchTick(window);
      return 0;
    case WM_DEVICECHANGE:
      OnDeviceChange(window, wParam, lParam);
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

HWND CreateMainWindow(HINSTANCE instance, int showCommand) {
  g_instance = instance;
  g_searchCount = 0;
  g_devicePresent = 0;

  const std::wstring title =
      Wide(ui::FormatText(u" VQR03   [%2d.%2d ]", {kVersionMajor, kVersionMinor}));
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
  const int x = static_cast<int>(desktop.right - desktop.left) / 2 - kWindowSize / 2;
  const int y = static_cast<int>(desktop.bottom - desktop.top) / 2 - kWindowSize / 2;
  HWND window = CreateWindowExW(0, className.c_str(), title.c_str(), kMainStyle, x, y, kWindowSize,
                                kWindowSize, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return nullptr;
  g_mainWindow = window;
  auto port = std::make_unique<Win32Port>(instance, window);
  ui::SetPort(port.get());
  g_port = std::move(port);

  ShowWindow(window, showCommand);
  UpdateWindow(window);

  CreateControl(window, L"Button", TableString(ui::kStrDeviceGroup), BS_GROUPBOX, 30, 10, 340, 80,
                ui::kDeviceGroup);
  g_deviceLabel = CreateControl(window, L"STATIC", SearchLabel(0), SS_CENTER, 60, 40, 280, 40,
                                ui::kDeviceLabel);
  CreateControl(window, L"Button", TableString(ui::kStrVersionGroup), BS_GROUPBOX, 30, 110, 340, 80,
                ui::kVersionGroup);
  // The blank label lies under the image list: it clips its siblings so that, however the
  // two are repainted, it never paints over the list.
  CreateControl(window, L"STATIC", u"", SS_CENTER | WS_CLIPSIBLINGS, 60, 140, 280, 40,
                ui::kBlankLabel);
  g_startButton = CreateControl(window, L"button", TableString(ui::kStrStart), BS_DEFPUSHBUTTON,
                                100, 210, 200, 50, ui::kStartButton);
  CreateControl(window, L"button", TableString(ui::kStrExit), BS_DEFPUSHBUTTON, 100, 300, 200, 50,
                ui::kExitButton);
  EnableWindow(g_startButton, FALSE);
  SetTimer(window, kSearchTimer, kSearchPeriodMs, nullptr);
  g_imageList = CreateControl(window, L"ComboBox", u"", CBS_DROPDOWNLIST | CBS_HASSTRINGS, 60, 140,
                              280, 400, ui::kImageList);
  // The image list lies over the blank label, which was created before it: put the list on top
  // of its siblings so that it is the one drawn there.
  SetWindowPos(g_imageList, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

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
  if (window == nullptr) return 0;
  return RunMessageLoop(instance, window);
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
