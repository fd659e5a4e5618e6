#include "ui/cli/cli_port.h"

#include <string>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#define VQR_FILENO _fileno
#define VQR_WRITE _write
#else
#include <unistd.h>
#define VQR_FILENO fileno
#define VQR_WRITE write
#endif

#include "text/string_table.h"
#include "text/text_format.h"

namespace vqr::cli {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The code point of the UTF-8 sequence at text[at] and its length in bytes; length 0 when the
// byte there starts no valid sequence (stray continuation byte, cut short, overlong form,
// surrogate half, above U+10FFFF).
struct Decoded {
  char32_t code = 0;
  std::size_t length = 0;
};
Decoded DecodeUtf8(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  std::size_t length;
  char32_t code;
  char32_t least;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return {};
  }
  if (text.size() - at < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return {};
    code = code << 6 | (byte(at + i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  return {code, length};
}

bool IsControl(char32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

void AppendByteEscape(std::string* out, unsigned char byte) {
  out->append("\\x");
  out->push_back(kHex[byte >> 4]);
  out->push_back(kHex[byte & 0x0F]);
}

void AppendHex4(std::string* out, char32_t code) {
  for (int shift = 12; shift >= 0; shift -= 4) out->push_back(kHex[(code >> shift) & 0x0F]);
}

std::string Utf8(const std::u16string& text) {
  return text::Utf16ToUtf8(text);
}

}  // namespace

std::string TerminalText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded decoded = DecodeUtf8(utf8, at);
    if (decoded.length == 0) {
      AppendByteEscape(&out, static_cast<unsigned char>(utf8[at]));
      ++at;
      continue;
    }
    const char32_t code = decoded.code;
    if (code == '\\') {
      out.append("\\\\");
    } else if (code == '\n') {
      out.append("\\n");
    } else if (code == '\r') {
      out.append("\\r");
    } else if (code == '\t') {
      out.append("\\t");
    } else if (code < 0x20 || code == 0x7F) {
      AppendByteEscape(&out, static_cast<unsigned char>(code));
    } else if (IsControl(code)) {
      out.append("\\u{");
      AppendHex4(&out, code);
      out.push_back('}');
    } else {
      out.append(utf8.substr(at, decoded.length));
    }
    at += decoded.length;
  }
  return out;
}

void PrintDeviceNotices(ui::WindowController& controller, CliPort& port) {
  controller.SetNoticeHandler(
      [&port](const std::u16string& text) {
        if (!text.empty()) port.PrintErrorLines(Utf8(text));
      },
      [](std::u16string_view foreign) {
        return text::Utf8ToUtf16(TerminalText(Utf8(std::u16string(foreign))));
      });
}

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded decoded = DecodeUtf8(utf8, at);
    if (decoded.length == 0) {
      out.append("\\ufffd");
      ++at;
      continue;
    }
    const char32_t code = decoded.code;
    switch (code) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      default:
        if (IsControl(code)) {
          out.append("\\u");
          AppendHex4(&out, code);
        } else {
          out.append(utf8.substr(at, decoded.length));
        }
    }
    at += decoded.length;
  }
  out.push_back('"');
  return out;
}

void JsonObject::Key(std::string_view key) {
  if (!m_fields.empty()) m_fields.push_back(',');
  m_fields += JsonString(key);
  m_fields.push_back(':');
}

JsonObject& JsonObject::Str(std::string_view key, std::string_view utf8) {
  Key(key);
  m_fields += JsonString(utf8);
  return *this;
}

JsonObject& JsonObject::Int(std::string_view key, std::int64_t value) {
  Key(key);
  m_fields += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
  Key(key);
  m_fields += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Num(std::string_view key, double value) {
  Key(key);
  // JSON has no infinities or NaN; a rate is finite and not negative.
  if (!(value >= 0 && value < 1e15)) value = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", value);
  m_fields += text;
  return *this;
}

JsonObject& JsonObject::Ints(std::string_view key, const std::vector<std::int64_t>& values) {
  Key(key);
  m_fields.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) m_fields.push_back(',');
    m_fields += std::to_string(values[i]);
  }
  m_fields.push_back(']');
  return *this;
}

std::optional<NumberedError> ParseNumberedError(std::u16string_view text, text::Language language) {
  // Every numbered error begins as entry "錯誤碼: %s" does in the language shown.
  const std::u16string_view format = text::TableText(text::kStrErrorCodeText, language);
  const std::u16string_view kPrefix = format.substr(0, format.find(u"%s"));
  if (kPrefix.empty() || kPrefix.size() == format.size()) return std::nullopt;
  if (text.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  text.remove_prefix(kPrefix.size());
  if (text.size() < 4) return std::nullopt;
  NumberedError error;
  for (std::size_t i = 0; i < 4; ++i) {
    if (text[i] < u'0' || text[i] > u'9') return std::nullopt;
    error.code.push_back(static_cast<char>(text[i]));
  }
  text.remove_prefix(4);
  // A number: spaces, an optional minus sign, digits. Nothing when there is none.
  const auto number = [&text]() -> std::optional<std::int64_t> {
    std::size_t at = 0;
    while (at < text.size() && text[at] == u' ') ++at;
    const bool negative = at < text.size() && text[at] == u'-';
    if (negative) ++at;
    const std::size_t digits = at;
    std::int64_t value = 0;
    while (at < text.size() && text[at] >= u'0' && text[at] <= u'9' && at - digits < 12)
      value = value * 10 + (text[at++] - u'0');
    if (at == digits) return std::nullopt;
    text.remove_prefix(at);
    return negative ? -value : value;
  };
  if (!text.empty() && (text[0] == u'+' || text[0] == u' ')) {
    if (text[0] == u'+') text.remove_prefix(1);
    error.detail = number();
    if (!error.detail) return std::nullopt;
  }
  while (!text.empty() && text[0] == u'\n') {
    text.remove_prefix(1);
    const std::optional<std::int64_t> value = number();
    if (!value) return std::nullopt;
    error.more.push_back(*value);
  }
  if (!text.empty()) return std::nullopt;
  return error;
}

CliPort::CliPort(CliOutput output) : m_output(output) {}

void CliPort::EndBar() {
  if (!m_barOpen) return;
  std::fputc('\n', m_output.err);
  std::fflush(m_output.err);
  m_barOpen = false;
}

void CliPort::WriteOut(const std::string& line) {
  // On a terminal both streams share the screen: the bar's line is ended first.
  if (m_output.outTerminal) EndBar();
  std::fputs(line.c_str(), m_output.out);
  std::fputc('\n', m_output.out);
  std::fflush(m_output.out);
}

void CliPort::WriteErr(const std::string& line) {
  EndBar();
  std::fputs(line.c_str(), m_output.err);
  std::fputc('\n', m_output.err);
  std::fflush(m_output.err);
}

void CliPort::Line(const char* prefix, const std::u16string& text, const std::u16string& caption) {
  std::string line = prefix;
  if (!caption.empty()) line += " [" + TerminalText(Utf8(caption)) + "]";
  line += ": ";
  line += TerminalText(Utf8(text));
  WriteOut(line);
}

void CliPort::PrintLine(std::string_view line) {
  std::lock_guard lock(m_mutex);
  WriteOut(TerminalText(line));
}

void CliPort::PrintJson(const JsonObject& object) {
  std::lock_guard lock(m_mutex);
  WriteOut(object.Text());
}

void CliPort::PrintError(std::string_view text) {
  std::lock_guard lock(m_mutex);
  WriteErr("vqr03-cli: " + TerminalText(text));
}

void CliPort::PrintDiagnostic(std::string_view line) {
  std::lock_guard lock(m_mutex);
  if (m_output.json)
    WriteOut(JsonObject().Str("event", "diagnostic").Str("text", line).Text());
  else
    WriteErr(TerminalText(line));
}

void CliPort::PrintErrorLines(std::string_view composed) {
  std::lock_guard lock(m_mutex);
  WriteErr("vqr03-cli: " + std::string(composed));
}

void CliPort::PrintErrorNow(std::string_view text) {
  // Tries the lock for up to 100 ms. Polled with try_lock rather than a timed lock, whose
  // clock-based wait ThreadSanitizer does not see as taking the lock.
  std::unique_lock lock(m_mutex, std::defer_lock);
  for (int tries = 0; tries < 20 && !lock.try_lock(); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (lock.owns_lock()) {
    WriteErr("vqr03-cli: " + TerminalText(text));
    return;
  }
  // Past the stream's buffer (standard error has none to speak of) and its lock.
  std::string line;
  if (m_barOpen.load()) line.push_back('\n');
  line += "vqr03-cli: ";
  line += TerminalText(text);
  line.push_back('\n');
  const int descriptor = VQR_FILENO(m_output.err);
  for (std::size_t written = 0; written < line.size();) {
    const auto n =
        VQR_WRITE(descriptor, line.data() + written, static_cast<unsigned>(line.size() - written));
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

void CliPort::SetText(int control, const std::u16string& text) {
  std::lock_guard lock(m_mutex);
  if (m_output.json) return;  // the device and the progress have objects of their own
  if (control == ui::kDeviceLabel)
    Line("device", text);
  else if (control == ui::kStartButton &&
           !(m_output.outTerminal && m_output.errTerminal && m_inProgress))
    Line("button", text);
}

void CliPort::Enable(int, bool) {}

void CliPort::AppendListItem(const std::u16string& text) {
  std::lock_guard lock(m_mutex);
  m_list.push_back(text);
  if (!m_output.json) Line("list", text);
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
                         ui::MessageIcon icon) {
  std::lock_guard lock(m_mutex);
  const bool error = icon == ui::MessageIcon::kError;
  if (m_output.json) {
    JsonObject object;
    object.Str("event", "message")
        .Str("caption", Utf8(caption))
        .Str("text", Utf8(text))
        .Str("icon", error ? "error" : "information");
    if (const std::optional<NumberedError> numbered = ParseNumberedError(text)) {
      object.Str("code", numbered->code);
      if (numbered->detail) object.Int("detail", *numbered->detail);
      if (!numbered->more.empty()) object.Ints("numbers", numbered->more);
    }
    WriteOut(object.Text());
  } else {
    Line("message", text, caption);
  }
  if (error) WriteErr("message [" + TerminalText(Utf8(caption)) + "]: " + TerminalText(Utf8(text)));
}

void CliPort::EndProcess(int) {
  std::lock_guard lock(m_mutex);
  m_ended = true;
}

void CliPort::Progress(const ProgramProgress& progress) {
  std::lock_guard lock(m_mutex);
  const auto now = std::chrono::steady_clock::now();
  if (!progress.verifying && progress.sectorsDone == 0 &&
      (progress.phase == ProgramPhase::kWrite || !m_inProgress)) {
    m_inProgress = true;
    m_progressStart = now;
  }
  // Writing is the first half of the work, reading back the second.
  const std::uint32_t total = 2 * progress.sectorCount;
  const std::uint32_t done = progress.sectorsDone + (progress.verifying ? progress.sectorCount : 0);
  const double seconds = std::chrono::duration<double>(now - m_progressStart).count();
  const double bytesPerSecond = seconds > 0 ? done * 4096.0 / seconds : 0.0;
  if (m_output.json) {
    const char* phase = progress.phase == ProgramPhase::kErase   ? "erase"
                        : progress.phase == ProgramPhase::kWrite ? "write"
                                                                 : "verify";
    JsonObject object;
    object.Str("event", "progress")
        .Str("image", std::string(1, progress.letter))
        .Str("phase", phase)
        .Int("sector", progress.sectorsDone)
        .Int("sectors", progress.sectorCount)
        .Num("bytes_per_second", bytesPerSecond);
    WriteOut(object.Text());
  } else if (m_output.errTerminal && progress.phase != ProgramPhase::kErase) {
    const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / total;
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(fraction * kWidth);
    std::fprintf(m_output.err, "\r%c %s [%-*s] %3d%%  %7.1f KiB/s", progress.letter,
                 progress.verifying ? "verify" : "write ", kWidth,
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 static_cast<int>(fraction * 100), bytesPerSecond / 1024);
    m_barOpen = true;
    std::fflush(m_output.err);
  }
  if (progress.verifying && progress.sectorsDone == progress.sectorCount) {
    EndBar();
    m_inProgress = false;
  }
}

}  // namespace vqr::cli
