// The window port of the command-line front end: every text the window would show is printed
// on standard output on its own line, in the order the window would show it:
//   device: TEXT            the device label
//   button: TEXT            the start button's caption
//   list: TEXT              a line appended to the image list
//   message [CAPTION]: TEXT a message box (it needs no answer)
// A message box with the error icon is printed on standard error too. When standard error is
// a terminal, the sector progress is drawn there as one progress bar with a percentage and a
// rate; when standard output is a terminal as well, the per-sector captions are left out of
// it.
//
// Texts that come from outside the program (catalog descriptions, the device's version and
// model text, server texts, file names, paths) can hold anything. Every line printed for a
// terminal is escaped (TerminalText): a backslash becomes \\, a line feed \n, a carriage
// return \r, a tab \t; any other C0 control character and DEL become \xHH, the byte in two
// lowercase hexadecimal digits; a C1 control character (U+0080 to U+009F) becomes \u{HHHH},
// its code point in four; a byte that is not part of valid UTF-8 becomes \xHH (80 to ff).
// Everything else, all other Unicode text included, is printed as it is.
//
// With --json the lines on standard output are JSON objects instead (JsonObject, JsonString);
// README.md has their fields.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "port/window_port.h"
#include "text/string_table.h"
#include "ui/shell/controller.h"
#include "workflow/context.h"

namespace vqr::cli {

// `utf8` as a terminal may show it (see above). Never holds a control character.
std::string TerminalText(std::string_view utf8);

// `utf8` as a JSON string, quotes included: '"' and '\' escaped, the control characters
// (C0, DEL, C1) as \n, \r, \t, \b, \f or \u00HH, what is not valid UTF-8 as \ufffd. The
// result is valid UTF-8.
std::string JsonString(std::string_view utf8);

// One JSON object, built field by field in the order given.
class JsonObject {
 public:
  JsonObject& Str(std::string_view key, std::string_view utf8);
  JsonObject& Int(std::string_view key, std::int64_t value);
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Num(std::string_view key, double value);
  JsonObject& Ints(std::string_view key, const std::vector<std::int64_t>& values);
  std::string Text() const { return "{" + m_fields + "}"; }

 private:
  void Key(std::string_view key);
  std::string m_fields;
};

// A numbered error's text ("錯誤碼: 0402 -7", "錯誤碼: 0403+ 2\n   20480\n      17", or the
// same in another language: "Error code: 0402 -7") taken apart: the code, the number after it
// (when there is one) and the numbers on the lines below it. Nothing for any other text.
struct NumberedError {
  std::string code;
  std::optional<std::int64_t> detail;
  std::vector<std::int64_t> more;
};
std::optional<NumberedError> ParseNumberedError(std::u16string_view text,
                                                text::Language language = text::CurrentLanguage());

struct CliOutput {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool json = false;         // JSON objects on `out` instead of the text lines
  bool outTerminal = false;  // `out` is a terminal
  bool errTerminal = false;  // `err` is a terminal: the progress bar is drawn there
};

class CliPort;

// Has `controller` tell on `port`'s standard error why a device cannot be opened: the
// interface's path and the platform's text are escaped before the notice is put together, so
// that only the notice's own line feeds start lines.
void PrintDeviceNotices(ui::WindowController& controller, CliPort& port);

class CliPort final : public ui::WindowPort {
 public:
  explicit CliPort(CliOutput output);

  // The image-list item the user chose (-1: none). Reported as the list's selection.
  void ChooseImage(int index) { m_choice = index; }
  int Choice() const { return m_choice; }
  bool Ended() const { return m_ended; }
  int ListCount() const;
  bool Json() const { return m_output.json; }

  void SetText(int control, const std::u16string& text) override;
  void Enable(int control, bool enabled) override;
  void AppendListItem(const std::u16string& text) override;
  void SelectListItem(int index) override;
  int ListSelection() override;
  void ClearList() override;
  // The command line has no unplug handler to keep out: the work runs at once.
  void Batch(const std::function<void()>& work) override { work(); }
  std::u16string LoadString(int id) override;
  void MessageBox(const std::u16string& text, const std::u16string& caption,
                  ui::MessageIcon icon) override;
  void EndProcess(int code) override;

  // The workflow's progress observer: the progress bar on a terminal, a progress object
  // with --json.
  void Progress(const ProgramProgress& progress);

  // A line of the program's own on standard output (text mode; `line` is escaped first).
  void PrintLine(std::string_view line);
  // A JSON object on standard output (JSON mode only).
  void PrintJson(const JsonObject& object);
  // "vqr03-cli: TEXT" on standard error (`text` is escaped first).
  void PrintError(std::string_view text);
  // A diagnostic line of the device link ("ERROR: Read fail!"): on standard error as it is
  // (escaped), or with --json a "diagnostic" object on standard output, so that standard
  // output holds nothing but JSON objects.
  void PrintDiagnostic(std::string_view line);
  // The same for a signal's action, which must not wait on a thread that holds the port's
  // lock while it is blocked writing to a pipe nobody reads: when the lock cannot be taken
  // within a moment, the line goes straight to standard error's descriptor.
  void PrintErrorNow(std::string_view text);
  // "vqr03-cli: " and `composed` on standard error, its line feeds kept and nothing escaped
  // again: a text of several lines that the program put together, its foreign parts escaped
  // already (the device notice).
  void PrintErrorLines(std::string_view composed);

 private:
  void Line(const char* prefix, const std::u16string& text, const std::u16string& caption = {});
  void WriteOut(const std::string& line);
  void WriteErr(const std::string& line);
  void EndBar();

  CliOutput m_output;
  mutable std::mutex m_mutex;
  std::vector<std::u16string> m_list;
  int m_selection = -1;
  int m_choice = -1;
  bool m_ended = false;
  bool m_inProgress = false;  // an image is being programmed: the bar stands for the captions
  // The bar's line on standard error has no line feed yet. Read without the lock by
  // PrintErrorNow.
  std::atomic<bool> m_barOpen{false};
  std::chrono::steady_clock::time_point m_progressStart;
};

}  // namespace vqr::cli
