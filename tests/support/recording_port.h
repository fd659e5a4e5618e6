// A window port that keeps every call in order, for tests. Thread-safe; WaitForEnd() lets a
// test wait until a worker has ended the process or returned.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "port/window_port.h"
#include "text/string_table.h"

namespace vqr::ui {

struct PortCall {
  enum class Kind { kSetText, kEnable, kAppend, kSelect, kClear, kMessageBox, kEndProcess };
  Kind kind;
  int control = 0;       // kSetText, kEnable
  bool enabled = false;  // kEnable
  int index = 0;         // kSelect; the exit code for kEndProcess
  std::u16string text;   // kSetText, kAppend, kMessageBox
  std::u16string caption;
  MessageIcon icon = MessageIcon::kInformation;
};

class RecordingPort final : public WindowPort {
 public:
  void SetText(int control, const std::u16string& text) override {
    Add({PortCall::Kind::kSetText, control, false, 0, text, {}, {}});
    std::lock_guard lock(m_mutex);
    m_texts[control] = text;
  }
  void Enable(int control, bool enabled) override {
    Add({PortCall::Kind::kEnable, control, enabled, 0, {}, {}, {}});
    std::lock_guard lock(m_mutex);
    m_enabled[control] = enabled;
  }
  void AppendListItem(const std::u16string& text) override {
    Add({PortCall::Kind::kAppend, kImageList, false, 0, text, {}, {}});
    std::lock_guard lock(m_mutex);
    m_list.push_back(text);
  }
  void SelectListItem(int index) override {
    Add({PortCall::Kind::kSelect, kImageList, false, index, {}, {}, {}});
    std::lock_guard lock(m_mutex);
    m_selection = (index >= 0 && index < static_cast<int>(m_list.size())) ? index : -1;
  }
  int ListSelection() override {
    std::lock_guard lock(m_mutex);
    return m_selection;
  }
  void ClearList() override {
    Add({PortCall::Kind::kClear, kImageList, false, 0, {}, {}, {}});
    std::lock_guard lock(m_mutex);
    m_list.clear();
    m_selection = -1;
  }
  // The tests call the window's handlers between a worker's steps, never during one: the
  // work runs at once.
  void Batch(const std::function<void()>& work) override { work(); }
  std::u16string LoadString(int id) override { return text::StringTableEntry(id); }
  void MessageBox(const std::u16string& text, const std::u16string& caption,
                  MessageIcon icon) override {
    Add({PortCall::Kind::kMessageBox, 0, false, 0, text, caption, icon});
  }
  void EndProcess(int code) override {
    Add({PortCall::Kind::kEndProcess, 0, false, code, {}, {}, {}});
    std::lock_guard lock(m_mutex);
    m_exitCode = code;
    m_ended.notify_all();
  }

  // Every call so far, in order.
  std::vector<PortCall> Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  // The message boxes so far, in order.
  std::vector<PortCall> MessageBoxes() const {
    std::vector<PortCall> boxes;
    for (const PortCall& call : Calls())
      if (call.kind == PortCall::Kind::kMessageBox) boxes.push_back(call);
    return boxes;
  }
  std::u16string Text(int control) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_texts.find(control);
    return it == m_texts.end() ? std::u16string() : it->second;
  }
  std::optional<bool> Enabled(int control) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_enabled.find(control);
    if (it == m_enabled.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::u16string> List() const {
    std::lock_guard lock(m_mutex);
    return m_list;
  }
  std::optional<int> ExitCode() const {
    std::lock_guard lock(m_mutex);
    return m_exitCode;
  }
  // Sets what ListSelection() reports, as a user's pick would.
  void UserSelects(int index) {
    std::lock_guard lock(m_mutex);
    m_selection = index;
  }
  // Forgets every call and state, as a new window would start.
  void Reset() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
    m_texts.clear();
    m_enabled.clear();
    m_list.clear();
    m_selection = -1;
    m_exitCode.reset();
  }
  // Waits until EndProcess was called; false on timeout.
  bool WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_ended.wait_for(lock, timeout, [&] { return m_exitCode.has_value(); });
  }

 private:
  void Add(PortCall call) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_ended;
  std::vector<PortCall> m_calls;
  std::map<int, std::u16string> m_texts;
  std::map<int, bool> m_enabled;
  std::vector<std::u16string> m_list;
  int m_selection = -1;
  std::optional<int> m_exitCode;
};

}  // namespace vqr::ui
