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
#include <vector>

#include "content/http_backend.h"
#include "device/chidcmd.h"
#include "port/window_port.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "ui/shell/controller.h"
#include "ui/shell/controls.h"
#include "ui/shell/window_arguments.h"
#include "ui/win32/win32_port.h"
#include "vqr03_resources.h"
#include "vqr_version.h"
#include "workflow/workers.h"

namespace vqr::win32 {

namespace {

constexpr int kVersionMajor = VQR_VERSION_MAJOR;
constexpr int kVersionMinor = VQR_VERSION_MINOR;
constexpr UINT_PTR kSearchTimer = 0;
constexpr UINT kSearchPeriodMs = 1000;
constexpr UINT kBaseDpi = 96;  // the DPI the layout's pixels are given at
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
// A control and its rectangle at 96 DPI, kept to lay the controls out again when the window's
// DPI changes.
struct Placement {
  HWND control;
  int x, y, width, height;
};
std::vector<Placement> g_placements;
// The controls' font at a DPI other than the system's; null while they use the default.
HFONT g_dpiFont = nullptr;
// The device notice: why a device that is plugged in cannot be opened. A small window owned by
// the main window, shown without taking the focus and without stopping the search; null while
// none is shown.
HWND g_notice = nullptr;
constexpr wchar_t kNoticeClass[] = L"vqr03-notice";
constexpr int kNoticeTextId = 1;
constexpr int kNoticeMargin = 12;      // at 96 DPI
constexpr int kNoticeTextWidth = 420;  // at 96 DPI

std::u16string TableString(int id) {
  return LoadTableString(g_instance, id);
}

// The device label while searching: entry 136 with the count of seconds.
std::u16string SearchLabel(std::int32_t count) {
  return text::FormatText(TableString(text::kStrSearching), {count});
}

// The window's DPI: GetDpiForWindow where the system has it (Windows 10 1607 and later), else
// the vertical pixels per inch of the window's device context. The process is per-monitor DPI
// aware (its manifest), so both give the real DPI of the monitor, not 96.
UINT WindowDpi(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow =
      reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void (*)()>(
          GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow != nullptr) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi != 0) return dpi;
  }
  int dpi = 0;
  if (HDC context = GetDC(window)) {
    dpi = GetDeviceCaps(context, LOGPIXELSY);
    ReleaseDC(window, context);
  }
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

// A length of the 96-DPI layout at `dpi`.
int Scale(int length, UINT dpi) {
  return MulDiv(length, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}

// Creates the control of the control table with `id`, with `text` and the style bits beyond
// WS_CHILD | WS_VISIBLE, at its 96-DPI rectangle scaled to the parent's DPI, and keeps the
// rectangle for a later change of DPI.
HWND CreateControl(HWND parent, int id, const std::u16string& text, DWORD style) {
  const ui::ControlEntry& entry = *ui::FindControl(id);
  const ui::ControlRect& r = entry.rect;
  const UINT dpi = WindowDpi(parent);
  HWND control = CreateWindowExW(
      0, entry.windowClass, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style, Scale(r.x, dpi),
      Scale(r.y, dpi), Scale(r.width, dpi), Scale(r.height, dpi), parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_instance, nullptr);
  if (control != nullptr) g_placements.push_back({control, r.x, r.y, r.width, r.height});
  return control;
}

// The system DPI, the one the stock fonts are made for.
UINT SystemDpi() {
  int dpi = 0;
  if (HDC screen = GetDC(nullptr)) {
    dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

// The controls draw their texts in the system font, made for the system DPI. At another DPI
// (a monitor of its own) they get that font scaled to it, so that the texts keep fitting the
// scaled rectangles; back at the system DPI they return to the default.
void SetControlFont(UINT dpi) {
  const UINT systemDpi = SystemDpi();
  HFONT font = nullptr;
  if (dpi != systemDpi) {
    LOGFONTW face{};
    if (GetObjectW(GetStockObject(SYSTEM_FONT), sizeof face, &face) == sizeof face) {
      face.lfHeight = MulDiv(face.lfHeight, static_cast<int>(dpi), static_cast<int>(systemDpi));
      face.lfWidth = MulDiv(face.lfWidth, static_cast<int>(dpi), static_cast<int>(systemDpi));
      font = CreateFontIndirectW(&face);
    }
  }
  if (font == nullptr && g_dpiFont == nullptr) return;  // the default, as before
  for (const Placement& p : g_placements)
    SendMessageW(p.control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (g_dpiFont != nullptr) DeleteObject(g_dpiFont);
  g_dpiFont = font;
}

// Moves every control to its rectangle at `dpi`, in the font for `dpi`.
void LayOutControls(UINT dpi) {
  for (const Placement& p : g_placements)
    SetWindowPos(p.control, nullptr, Scale(p.x, dpi), Scale(p.y, dpi), Scale(p.width, dpi),
                 Scale(p.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
  SetControlFont(dpi);
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      // The template's texts are the original language's; the box speaks the program's.
      SetWindowTextW(dialog, Wide(TableString(text::kStrAboutCaption)).c_str());
      SetDlgItemTextW(
          dialog, VQR_IDC_ABOUT_TEXT,
          Wide(text::FormatText(TableString(text::kStrAboutText), {kVersionMajor, kVersionMinor}))
              .c_str());
      SetDlgItemTextW(dialog, IDOK, Wide(TableString(text::kStrAboutOk)).c_str());
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

// Shows `text` in the device notice, or closes the notice when `text` is empty (the device was
// found after all). The user may close it; the controller shows it again only for a new
// arrival.
void ShowDeviceNotice(const std::u16string& text) {
  if (g_notice != nullptr && !IsWindow(g_notice)) g_notice = nullptr;
  if (text.empty()) {
    if (g_notice != nullptr) DestroyWindow(g_notice);
    g_notice = nullptr;
    return;
  }
  const UINT dpi = WindowDpi(g_mainWindow);
  if (g_notice == nullptr) {
    WNDCLASSEXW noticeClass{};
    noticeClass.cbSize = sizeof noticeClass;
    noticeClass.lpfnWndProc = DefWindowProcW;
    noticeClass.hInstance = g_instance;
    noticeClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    noticeClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    noticeClass.lpszClassName = kNoticeClass;
    RegisterClassExW(&noticeClass);  // a second notice of the process finds the class there
    g_notice = CreateWindowExW(
        WS_EX_TOOLWINDOW, kNoticeClass, Wide(TableString(text::kStrClassName)).c_str(),
        WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 0, 0, g_mainWindow, nullptr, g_instance, nullptr);
    if (g_notice == nullptr) return;
    HWND label = CreateWindowExW(
        0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 0, 0, 0, g_notice,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kNoticeTextId)), g_instance, nullptr);
    SendMessageW(label, WM_SETFONT,
                 reinterpret_cast<WPARAM>(g_dpiFont != nullptr ? g_dpiFont
                                                               : GetStockObject(DEFAULT_GUI_FONT)),
                 FALSE);
  }
  HWND label = GetDlgItem(g_notice, kNoticeTextId);
  const std::wstring wide = Wide(text);
  SetWindowTextW(label, wide.c_str());
  // The text's height at the notice's width, measured with the label's own font.
  RECT textRect{0, 0, Scale(kNoticeTextWidth, dpi), 0};
  if (HDC context = GetDC(label)) {
    HGDIOBJ old =
        SelectObject(context, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
    DrawTextW(context, wide.c_str(), -1, &textRect, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(context, old);
    ReleaseDC(label, context);
  }
  const int margin = Scale(kNoticeMargin, dpi);
  MoveWindow(label, margin, margin, textRect.right, textRect.bottom, FALSE);
  RECT frame{0, 0, textRect.right + 2 * margin, textRect.bottom + 2 * margin};
  AdjustWindowRectEx(&frame, WS_POPUP | WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_TOOLWINDOW);
  // Beside the main window's right edge, its top aligned with the main window's.
  RECT main{};
  GetWindowRect(g_mainWindow, &main);
  SetWindowPos(g_notice, nullptr, main.right, main.top, frame.right - frame.left,
               frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(g_notice, SW_SHOWNOACTIVATE);
  InvalidateRect(g_notice, nullptr, TRUE);
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
    case WM_DPICHANGED: {
      // Moved to a monitor of another DPI, or the DPI changed: take the rectangle the system
      // suggests (the window scaled around the same place) and scale the controls to match.
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      if (suggested != nullptr)
        SetWindowPos(window, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      LayOutControls(HIWORD(wParam));
      return 0;
    }
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      if (g_dpiFont != nullptr) {
        // The controls are destroyed after this message: they forget the font first.
        for (const Placement& p : g_placements) SendMessageW(p.control, WM_SETFONT, 0, FALSE);
        DeleteObject(g_dpiFont);
        g_dpiFont = nullptr;
      }
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

HWND DeviceNoticeWindow() {
  return g_notice != nullptr && IsWindow(g_notice) ? g_notice : nullptr;
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
  if (g_notice != nullptr && IsWindow(g_notice)) DestroyWindow(g_notice);
  g_notice = nullptr;
  g_mainWindow = nullptr;
}

HWND CreateMainWindow(HINSTANCE instance, int showCommand) {
  ShutDownMainWindow();
  g_instance = instance;
  g_placements.clear();

  const std::wstring title =
      Wide(text::FormatText(TableString(text::kStrWindowTitle), {kVersionMajor, kVersionMinor}));
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
  // The 400 x 400 pixels are those of 96 DPI: at another DPI the window is as much larger,
  // centred the same way, before it is shown.
  if (const UINT dpi = WindowDpi(window); dpi != kBaseDpi) {
    const int size = Scale(ui::kWindowSize, dpi);
    const int width = static_cast<int>(desktop.right - desktop.left);
    const int height = static_cast<int>(desktop.bottom - desktop.top);
    SetWindowPos(window, nullptr, width / 2 - size / 2, height / 2 - size / 2, size, size,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  g_mainWindow = window;
  g_port = std::make_unique<Win32Port>(instance, window);
  WorkerContext context = g_context;
  context.port = g_port.get();
  if (context.http == nullptr) context.http = &PlatformHttpBackend();
  g_controller = std::make_unique<ui::WindowController>(*g_port, g_timer, std::move(context));
  g_controller->SetWorkerStarter(&StartWorkerEntry);
  // The notice handler runs on the thread that searches: this one, on the search timer.
  g_controller->SetNoticeHandler(&ShowDeviceNotice);

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
  // On a monitor whose DPI is not the system's the controls need a font for it.
  SetControlFont(WindowDpi(window));

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

ui::WindowArguments ParseCommandLine(const wchar_t* commandLine) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(commandLine, &count);
  if (arguments == nullptr) return {ui::WindowArguments::Mode::kUsage, std::nullopt, {}};
  std::vector<std::string> utf8;
  for (int i = 1; i < count; ++i) utf8.push_back(text::Utf16ToUtf8(FromWide(arguments[i])));
  LocalFree(arguments);
  const std::vector<std::string_view> views(utf8.begin(), utf8.end());
  return ui::ParseWindowArguments(views, false);
}

bool IsDemoCommandLine(const wchar_t* commandLine) {
  return ParseCommandLine(commandLine).mode == ui::WindowArguments::Mode::kDemo;
}

}  // namespace vqr::win32
