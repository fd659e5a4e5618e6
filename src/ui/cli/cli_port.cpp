#include "ui/cli/cli_port.h"

#include "text/string_table.h"
#include "text/text_format.h"

namespace vqr::cli {

CliPort::CliPort(std::FILE* out, bool terminal) : m_out(out), m_terminal(terminal) {}

void CliPort::Line(const char* prefix, const std::u16string& text, const std::u16string& caption) {
  std::string line = prefix;
  if (!caption.empty()) line += " [" + text::Utf16ToUtf8(caption) + "]";
  line += ": ";
  for (const char c : text::Utf16ToUtf8(text)) {
    if (c == '\n')
      line += "\\n";
    else
      line.push_back(c);
  }
  line.push_back('\n');
  std::fputs(line.c_str(), m_out);
  std::fflush(m_out);
}

void CliPort::SetText(int control, const std::u16string& text) {
  std::lock_guard lock(m_mutex);
  if (control == ui::kDeviceLabel)
    Line("device", text);
  else if (control == ui::kStartButton && !(m_terminal && m_inProgress))
    Line("button", text);
}

void CliPort::Enable(int, bool) {}

void CliPort::AppendListItem(const std::u16string& text) {
  std::lock_guard lock(m_mutex);
  m_list.push_back(text);
  Line("list", text);
}

void CliPort::SelectListItem(int index) {
  std::lock_guard lock(m_mutex);
  m_selection = index >= 0 && index < static_cast<int>(m_list.size()) ? index : -1;
}

int CliPort::ListSelection() {
  std::lock_guard lock(m_mutex);
  // The user's choice stands in for a pick in the list; without one, the list's own.
  if (m_choice >= 0 && m_choice < static_cast<int>(m_list.size())) return m_choice;
  return m_choice < 0 ? -1 : m_selection;
}

int CliPort::ListCount() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_list.size());
}

void CliPort::ClearList() {
  std::lock_guard lock(m_mutex);
  m_list.clear();
  m_selection = -1;
}

std::u16string CliPort::LoadString(int id) {
  return text::StringTableEntry(id);
}

void CliPort::MessageBox(const std::u16string& text, const std::u16string& caption,
                         ui::MessageIcon) {
  std::lock_guard lock(m_mutex);
  Line("message", text, caption);
}

void CliPort::EndProcess(int) {
  std::lock_guard lock(m_mutex);
  m_ended = true;
}

void CliPort::Progress(const ProgramProgress& progress) {
  if (!m_terminal) return;
  std::lock_guard lock(m_mutex);
  const auto now = std::chrono::steady_clock::now();
  if (!progress.verifying && progress.sectorsDone == 0) {
    m_inProgress = true;
    m_progressStart = now;
  }
  // Writing is the first half of the bar, reading back the second.
  const std::uint32_t total = 2 * progress.sectorCount;
  const std::uint32_t done = progress.sectorsDone + (progress.verifying ? progress.sectorCount : 0);
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / total;
  const double seconds = std::chrono::duration<double>(now - m_progressStart).count();
  const double rate = seconds > 0 ? done * 4.0 / seconds : 0.0;  // KiB per second
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(fraction * kWidth);
  std::fprintf(m_out, "\r%c %s [%-*s] %3d%%  %7.1f KiB/s", progress.letter,
               progress.verifying ? "verify" : "write ", kWidth,
               std::string(static_cast<std::size_t>(filled), '#').c_str(),
               static_cast<int>(fraction * 100), rate);
  if (progress.verifying && progress.sectorsDone == progress.sectorCount) {
    std::fputc('\n', m_out);
    m_inProgress = false;
  }
  std::fflush(m_out);
}

}  // namespace vqr::cli
