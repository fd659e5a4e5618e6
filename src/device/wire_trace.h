// The wire trace: one line per report that moved, "OUT " or "IN " and then the 65 bytes
// (report ID first) as 130 lowercase hexadecimal digits. Lines that begin with "#" are notes
// about the link (how the device was opened), not reports; readers of reports skip them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace vqr {

class WireTrace {
 public:
  WireTrace() = default;
  ~WireTrace() { Stop(); }
  WireTrace(const WireTrace&) = delete;
  WireTrace& operator=(const WireTrace&) = delete;

  // Opens `path` for appending. False when it cannot be opened (the trace stays off).
  bool Start(const std::string& path);
  void Stop();
  bool Active() const { return m_active.load(std::memory_order_relaxed); }
  void Record(bool out, const std::uint8_t* report);
  // Appends "# " and `text` as one line; line breaks in `text` become spaces.
  void Note(const std::string& text);

  // Formats one trace line without the line feed.
  static std::string Line(bool out, const std::uint8_t* report);

 private:
  void Append(std::string line);  // `line` and a line feed

  std::mutex m_mutex;
  std::FILE* m_file = nullptr;
  std::atomic<bool> m_active{false};
};

}  // namespace vqr
