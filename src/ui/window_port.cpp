#include "ui/window_port.h"

#include <atomic>

namespace vqr::ui {

namespace {

// Until a front end installs its port, calls go nowhere: a worker started without a window
// changes nothing and cannot end the process.
class NullPort final : public WindowPort {
 public:
  void SetText(int, const std::u16string&) override {}
  void Enable(int, bool) override {}
  void AppendListItem(const std::u16string&) override {}
  void SelectListItem(int) override {}
  int ListSelection() override { return -1; }
  void ClearList() override {}
  std::u16string LoadString(int) override { return {}; }
  void MessageBox(const std::u16string&, const std::u16string&, MessageIcon) override {}
  void EndProcess(int) override {}
};

NullPort g_nullPort;
std::atomic<WindowPort*> g_port{&g_nullPort};

}  // namespace

WindowPort& Port() {
  return *g_port.load();
}
void SetPort(WindowPort* port) {
  g_port.store(port != nullptr ? port : &g_nullPort);
}

}  // namespace vqr::ui
