// Drives the main window of a running vqr03.exe from another process, as a user would: waits
// for what the window shows, presses its buttons and closes its message boxes. It prints each
// step as a line on standard output (UTF-8), so the harness can follow it and act between
// steps (unplug the device, say). Exit code 0 when every step held, 1 otherwise.
//
//   vqr03_driver update   wait for the device, press the start button, wait for the closing
//                         message box: exit 0 when it is the one of success.
//   vqr03_driver unplug   wait for the device, print "identified", then wait for the window
//                         to be back to searching with the list emptied (the harness unplugs).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "port/window_port.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 90s;
const std::wstring kSearching = L"尋 找 中.....";
const std::wstring kStart = L"開 始 更 新";
const std::wstring kDoneCaption = L"更新完成";

void Say(const std::wstring& line) {
  const std::wstring text = line + L"\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

std::wstring TextOf(HWND window) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(window, buffer, 1024);
  return buffer;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kLimit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The updater's main window: a top-level window with the start button among its children.
HWND FindMainWindow() {
  HWND found = nullptr;
  EnumWindows(
      [](HWND window, LPARAM result) -> BOOL {
        HWND button = GetDlgItem(window, vqr::ui::kStartButton);
        wchar_t name[16] = {};
        if (button != nullptr && GetClassNameW(button, name, 16) > 0 &&
            lstrcmpiW(name, L"button") == 0) {
          *reinterpret_cast<HWND*>(result) = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

// A visible message box owned by `owner`.
HWND FindMessageBox(HWND owner) {
  struct Search {
    HWND owner;
    HWND found;
  } search{owner, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* search = reinterpret_cast<Search*>(data);
        wchar_t name[8] = {};
        if (GetWindow(window, GW_OWNER) == search->owner && IsWindowVisible(window) &&
            GetClassNameW(window, name, 8) > 0 && std::wstring(name) == L"#32770") {
          search->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring BoxText(HWND box) {
  std::wstring text = TextOf(box);
  EnumChildWindows(
      box,
      [](HWND child, LPARAM data) -> BOOL {
        wchar_t name[16] = {};
        GetClassNameW(child, name, 16);
        if (lstrcmpiW(name, L"Static") == 0 && !TextOf(child).empty())
          *reinterpret_cast<std::wstring*>(data) += L" | " + TextOf(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&text));
  return text;
}

struct Window {
  HWND main = nullptr;
  HWND Control(int id) const { return GetDlgItem(main, id); }
  LRESULT ListCount() const {
    return SendMessageW(Control(vqr::ui::kImageList), CB_GETCOUNT, 0, 0);
  }
  bool Identified() const {
    return IsWindowEnabled(Control(vqr::ui::kStartButton)) && ListCount() > 0;
  }
  std::wstring State() const {
    return L"device=[" + TextOf(Control(vqr::ui::kDeviceLabel)) + L"] list=" +
           std::to_wstring(ListCount()) +
           (IsWindowEnabled(Control(vqr::ui::kImageList)) ? L" enabled" : L" disabled") +
           L" start=[" + TextOf(Control(vqr::ui::kStartButton)) + L"]" +
           (IsWindowEnabled(Control(vqr::ui::kStartButton)) ? L" enabled" : L" disabled");
  }
};

bool FindWindowAndDevice(Window* window) {
  if (!WaitFor([&] { return (window->main = FindMainWindow()) != nullptr; })) {
    Say(L"no main window");
    return false;
  }
  if (!WaitFor([&] { return window->Identified(); })) {
    Say(L"never identified: " + window->State());
    return false;
  }
  Say(L"identified: " + window->State());
  return true;
}

int Update() {
  Window window;
  if (!FindWindowAndDevice(&window)) return 1;
  PostMessageW(window.Control(vqr::ui::kStartButton), BM_CLICK, 0, 0);
  HWND box = nullptr;
  if (!WaitFor([&] { return (box = FindMessageBox(window.main)) != nullptr; }, 300s)) {
    Say(L"no message box: " + window.State());
    return 1;
  }
  const std::wstring caption = TextOf(box);
  Say(L"box: " + BoxText(box));
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  WaitFor([&] { return !IsWindow(box); }, 10s);
  Say(L"after: " + window.State());
  PostMessageW(window.main, WM_CLOSE, 0, 0);
  return caption == kDoneCaption ? 0 : 1;
}

int Unplug() {
  Window window;
  if (!FindWindowAndDevice(&window)) return 1;
  const bool back = WaitFor([&] {
    const std::wstring label = TextOf(window.Control(vqr::ui::kDeviceLabel));
    return label.rfind(kSearching, 0) == 0 && window.ListCount() == 0 &&
           !IsWindowEnabled(window.Control(vqr::ui::kImageList)) &&
           !IsWindowEnabled(window.Control(vqr::ui::kStartButton)) &&
           TextOf(window.Control(vqr::ui::kStartButton)) == kStart;
  });
  Say(std::wstring(back ? L"searching: " : L"not back to searching: ") + window.State());
  PostMessageW(window.main, WM_CLOSE, 0, 0);
  return back ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "update") return Update();
  if (command == "unplug") return Unplug();
  Say(L"usage: vqr03_driver update|unplug");
  return 2;
}
