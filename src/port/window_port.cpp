#include "port/window_port.h"

namespace vqr::ui {

namespace {

class NoWindowPort final : public WindowPort {
 public:
  void SetText(int, const std::u16string&) override {}
  void Enable(int, bool) override {}
  void AppendListItem(const std::u16string&) override {}
  void SelectListItem(int) override {}
  int ListSelection() override { return -1; }
  void ClearList() override {}
  void Batch(const std::function<void()>& work) override { work(); }
  std::u16string LoadString(int) override { return {}; }
  void MessageBox(const std::u16string&, const std::u16string&, MessageIcon) override {}
  void EndProcess(int) override {}
};

}  // namespace

WindowPort& NullPort() {
  static NoWindowPort port;
  return port;
}

}  // namespace vqr::ui
