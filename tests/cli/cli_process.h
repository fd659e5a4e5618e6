// Runs vqr03-cli as a child process with its standard output and standard error in files, so
// that a test can signal or kill it while it runs and then read both streams; and a small
// JSON reader for its --json lines.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

extern char** environ;

namespace vqr::testing {

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Finished {
  int exitCode = -1;  // -1 when ended by a signal
  int signal = 0;     // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
  std::vector<std::string> OutLines() const { return SplitLines(out); }
};

class CliProcess {
 public:
  // Starts `program` with `arguments`; its output goes to files named after `name`, or its
  // standard output to `stdoutDescriptor` when one is given.
  CliProcess(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& directory, const std::string& name, int stdoutDescriptor = -1)
      : m_outPath(directory + name + ".stdout"), m_errPath(directory + name + ".stderr") {
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutDescriptor >= 0) {
      posix_spawn_file_actions_adddup2(&actions, stdoutDescriptor, 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~CliProcess() {
    if (m_pid > 0 && !m_reaped) {
      kill(m_pid, SIGKILL);
      Wait();
    }
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  bool Started() const { return m_pid > 0; }
  void Signal(int signal) const {
    if (m_pid > 0) kill(m_pid, signal);
  }
  Finished Wait() { return *WaitUpTo(std::nullopt); }
  // Nothing when the process is still running after `limit`.
  std::optional<Finished> WaitUpTo(std::optional<std::chrono::milliseconds> limit) {
    Finished finished;
    if (m_pid <= 0) return finished;
    int status = 0;
    if (limit) {
      const auto until = std::chrono::steady_clock::now() + *limit;
      while (waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    } else {
      waitpid(m_pid, &status, 0);
    }
    m_reaped = true;
    if (WIFEXITED(status)) finished.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) finished.signal = WTERMSIG(status);
    finished.out = ReadText(m_outPath);
    finished.err = ReadText(m_errPath);
    return finished;
  }

 private:
  std::string m_outPath;
  std::string m_errPath;
  pid_t m_pid = -1;
  bool m_reaped = false;
};

// Waits up to `limit` for `condition`; true when it came true.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Follows a wire trace as it grows: Count(prefix) is the number of its whole lines so far
// that begin with `prefix` ("OUT 00710e" is an erase command, "OUT 00c30e" a write,
// "OUT 00d20e" a read, "OUT 005b0e" an opening or closing command).
class TraceWatcher {
 public:
  explicit TraceWatcher(std::string path) : m_path(std::move(path)) {}
  int Count(const std::string& prefix) {
    std::ifstream in(m_path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(m_offset));
    std::string line;
    while (std::getline(in, line) && !in.eof()) {
      m_offset += line.size() + 1;
      m_lines.push_back(line.substr(0, 16));
    }
    int count = 0;
    for (const std::string& seen : m_lines)
      if (seen.rfind(prefix, 0) == 0) ++count;
    return count;
  }

 private:
  std::string m_path;
  std::size_t m_offset = 0;
  std::vector<std::string> m_lines;
};

// A JSON value, as far as the tests need one: strict parsing of RFC 8259 text (no trailing
// commas, no raw control characters in strings, valid UTF-8), objects keep their last value
// per key.
struct Json {
  struct Null {};
  using Object = std::map<std::string, Json>;
  using Array = std::vector<Json>;
  std::variant<Null, bool, double, std::string, std::shared_ptr<Object>, std::shared_ptr<Array>>
      value;

  bool IsObject() const { return std::holds_alternative<std::shared_ptr<Object>>(value); }
  bool Has(const std::string& key) const { return IsObject() && Fields().count(key) != 0; }
  const Object& Fields() const { return *std::get<std::shared_ptr<Object>>(value); }
  const Json& operator[](const std::string& key) const { return Fields().at(key); }
  std::string Str() const {
    const auto* text = std::get_if<std::string>(&value);
    return text != nullptr ? *text : std::string("<not a string>");
  }
  double Num() const {
    const auto* number = std::get_if<double>(&value);
    return number != nullptr ? *number : -1e300;
  }
  std::optional<bool> Bool() const {
    const auto* flag = std::get_if<bool>(&value);
    return flag != nullptr ? std::optional<bool>(*flag) : std::nullopt;
  }
  const Array& Items() const { return *std::get<std::shared_ptr<Array>>(value); }
};

class JsonReader {
 public:
  // The value that is all of `text` (surrounding spaces allowed); nothing when it is not
  // exactly one valid JSON value.
  static std::optional<Json> Parse(const std::string& text) {
    JsonReader reader(text);
    Json value;
    if (!reader.Value(&value, 0)) return std::nullopt;
    reader.Space();
    if (reader.m_at != text.size()) return std::nullopt;
    return value;
  }

 private:
  explicit JsonReader(const std::string& text) : m_text(text) {}
  void Space() {
    while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                    m_text[m_at] == '\n' || m_text[m_at] == '\r'))
      ++m_at;
  }
  bool Eat(char c) {
    Space();
    if (m_at < m_text.size() && m_text[m_at] == c) {
      ++m_at;
      return true;
    }
    return false;
  }
  bool Literal(const char* word) {
    const std::string w = word;
    if (m_text.compare(m_at, w.size(), w) != 0) return false;
    m_at += w.size();
    return true;
  }
  static void Append(std::string* out, std::uint32_t code) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | code >> 6));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | code >> 12));
      out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | code >> 18));
      out->push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  bool Hex4(std::uint32_t* code) {
    if (m_text.size() - m_at < 4) return false;
    *code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = m_text[m_at++];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      *code = *code << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
  }
  // One raw UTF-8 sequence, checked.
  bool Utf8(std::string* out) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(m_text[i]); };
    const unsigned char lead = byte(m_at);
    std::size_t length = lead < 0x80             ? 1
                         : (lead & 0xE0) == 0xC0 ? 2
                         : (lead & 0xF0) == 0xE0 ? 3
                         : (lead & 0xF8) == 0xF0 ? 4
                                                 : 0;
    if (length == 0 || m_text.size() - m_at < length) return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
      if ((byte(m_at + i) & 0xC0) != 0x80) return false;
      code = code << 6 | (byte(m_at + i) & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    out->append(m_text, m_at, length);
    m_at += length;
    return true;
  }
  bool String(std::string* out) {
    if (!Eat('"')) return false;
    for (;;) {
      if (m_at >= m_text.size()) return false;
      const unsigned char c = static_cast<unsigned char>(m_text[m_at]);
      if (c == '"') {
        ++m_at;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        if (!Utf8(out)) return false;
        continue;
      }
      if (++m_at >= m_text.size()) return false;
      const char escape = m_text[m_at++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out->push_back(escape);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          std::uint32_t code;
          if (!Hex4(&code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            std::uint32_t low;
            if (!Literal("\\u") || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
          }
          Append(out, code);
          break;
        }
        default:
          return false;
      }
    }
  }
  bool Number(double* out) {
    const std::size_t start = m_at;
    if (m_at < m_text.size() && m_text[m_at] == '-') ++m_at;
    const std::size_t digits = m_at;
    while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at]))) ++m_at;
    if (m_at == digits || (m_text[digits] == '0' && m_at - digits > 1)) return false;
    if (m_at < m_text.size() && m_text[m_at] == '.') {
      const std::size_t fraction = ++m_at;
      while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at]))) ++m_at;
      if (m_at == fraction) return false;
    }
    if (m_at < m_text.size() && (m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
      ++m_at;
      if (m_at < m_text.size() && (m_text[m_at] == '+' || m_text[m_at] == '-')) ++m_at;
      const std::size_t exponent = m_at;
      while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at]))) ++m_at;
      if (m_at == exponent) return false;
    }
    *out = std::stod(m_text.substr(start, m_at - start));
    return true;
  }
  bool Value(Json* out, int depth) {
    if (depth > 32) return false;
    Space();
    if (m_at >= m_text.size()) return false;
    const char c = m_text[m_at];
    if (c == '{') {
      ++m_at;
      auto object = std::make_shared<Json::Object>();
      if (!Eat('}')) {
        do {
          std::string key;
          Json value;
          if (!String(&key) || !Eat(':') || !Value(&value, depth + 1)) return false;
          (*object)[key] = std::move(value);
        } while (Eat(','));
        if (!Eat('}')) return false;
      }
      out->value = object;
      return true;
    }
    if (c == '[') {
      ++m_at;
      auto array = std::make_shared<Json::Array>();
      if (!Eat(']')) {
        do {
          Json value;
          if (!Value(&value, depth + 1)) return false;
          array->push_back(std::move(value));
        } while (Eat(','));
        if (!Eat(']')) return false;
      }
      out->value = array;
      return true;
    }
    if (c == '"') {
      std::string text;
      if (!String(&text)) return false;
      out->value = std::move(text);
      return true;
    }
    if (Literal("true")) return out->value = true, true;
    if (Literal("false")) return out->value = false, true;
    if (Literal("null")) return out->value = Json::Null{}, true;
    double number;
    if (!Number(&number)) return false;
    out->value = number;
    return true;
  }

  const std::string& m_text;
  std::size_t m_at = 0;
};

}  // namespace vqr::testing
