#include "ui/shell/controller.h"

#include "device/chidcmd.h"
#include "port/window_port.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "ui/shell/device_notice.h"

namespace vqr::ui {

WindowController::WindowController(WindowPort& port, SearchTimer& timer, WorkerContext context)
    : m_port(port), m_timer(timer), m_workers(std::move(context)) {
  m_workers.Context().port = &port;
}

WindowController::~WindowController() {
  Shutdown();
}

bool WindowController::Probe() {
  if (FindAndOpenDevice() == 0) {
    NoteOpenFailure();
    return false;
  }
  m_toldOf.reset();
  if (m_noticeShown) {
    m_noticeShown = false;
    if (m_notice) m_notice({});
  }
  m_timer.StopSearchTimer();
  m_devicePresent = true;
  // A failed start is not reported: the window stays in the device-present state until the
  // device is unplugged.
  if (m_start)
    m_start(&IdentifyThread);
  else
    m_workers.Start(&IdentifyThread);
  return true;
}

void WindowController::NoteOpenFailure() {
  const hid::OpenFailure& failure = g_hidCmd.IO().LastOpenFailure();
  if (failure.kind == hid::OpenError::kNone) {
    m_toldOf.reset();  // no device of the family: whatever comes next is a new arrival
    return;
  }
  auto key = std::make_pair(failure.path, failure.kind);
  if (m_toldOf == key) return;
  m_toldOf = std::move(key);
  if (!m_notice) return;
  m_notice(DeviceNoticeText(failure, kThisPlatform, text::CurrentLanguage(), m_foreign));
  m_noticeShown = true;
}

void WindowController::Tick() {
  if (Probe()) return;
  ++m_searchCount;
  m_port.SetText(kDeviceLabel,
                 text::FormatText(m_port.LoadString(text::kStrSearching), {m_searchCount}));
}

void WindowController::OnInterfaceRemoved(std::uint16_t vendor) {
  if (vendor == kDeviceVendor) m_toldOf.reset();
  if (!m_devicePresent || vendor != kDeviceVendor) return;
  m_workers.NoteDeviceRemoved();
  m_port.Enable(kStartButton, false);
  m_port.SetText(kStartButton, m_port.LoadString(text::kStrStart));
  m_port.ClearList();
  m_port.Enable(kImageList, false);
  m_searchCount = 0;
  m_timer.StartSearchTimer();
  m_devicePresent = false;
}

void WindowController::OnStart() {
  if (m_start)
    m_start(&UpdateThread);
  else
    m_workers.Start(&UpdateThread);
}

void WindowController::Shutdown(const std::function<void()>& whileWaiting) {
  m_workers.Stop(whileWaiting);
}

}  // namespace vqr::ui
