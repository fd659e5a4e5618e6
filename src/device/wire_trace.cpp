#include "device/wire_trace.h"

#include "device/hid_backend.h"

namespace vqr {

bool WireTrace::Start(const std::string& path) {
  std::lock_guard lock(m_mutex);
  if (m_file != nullptr) std::fclose(m_file);
  m_file = std::fopen(path.c_str(), "ab");
  m_active.store(m_file != nullptr);
  return m_file != nullptr;
}

void WireTrace::Stop() {
  std::lock_guard lock(m_mutex);
  if (m_file != nullptr) std::fclose(m_file);
  m_file = nullptr;
  m_active.store(false);
}

std::string WireTrace::Line(bool out, const std::uint8_t* report) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line = out ? "OUT " : "IN ";
  for (std::uint32_t i = 0; i < hid::kReportSize; ++i) {
    line.push_back(kHex[report[i] >> 4]);
    line.push_back(kHex[report[i] & 0x0F]);
  }
  return line;
}

void WireTrace::Record(bool out, const std::uint8_t* report) {
  if (!Active()) return;
  Append(Line(out, report));
}

void WireTrace::Note(const std::string& text) {
  if (!Active()) return;
  std::string line = "# " + text;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  Append(line);
}

void WireTrace::Append(std::string line) {
  line.push_back('\n');
  std::lock_guard lock(m_mutex);
  if (m_file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), m_file);
  std::fflush(m_file);
}

}  // namespace vqr
