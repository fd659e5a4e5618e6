// vqr03-cli in each language: every device, list, button and message line it prints in a whole
// demo update and in a run that fails comes from that language's column of the string table,
// and no text of another language's column stands there. Its own lines (fixed: and the rest)
// are English in every language and are not judged here.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "language_param.h"
#include "run_command.h"
#include "shown_texts.h"
#include "text/string_table.h"
#include "text/text_format.h"

namespace vqr::testing {
namespace {

using text::Language;

// The texts a window would show, one CLI line each: "device: TEXT", "button: TEXT",
// "list: TEXT" and "message [CAPTION]: TEXT".
struct ShownLine {
  std::string kind;  // "device", "button", "list" or "message"; "" for the program's own lines
  std::string caption;
  std::string text;
};

// A line as printed, its escapes undone: "\n" is a line feed, "\\" a backslash.
std::string Unescape(const std::string& printed) {
  std::string text;
  for (std::size_t i = 0; i < printed.size(); ++i) {
    if (printed[i] == '\\' && i + 1 < printed.size() &&
        (printed[i + 1] == 'n' || printed[i + 1] == '\\')) {
      text.push_back(printed[++i] == 'n' ? '\n' : '\\');
      continue;
    }
    text.push_back(printed[i]);
  }
  return text;
}

ShownLine ParseLine(const std::string& line) {
  for (const char* kind : {"device", "button", "list"}) {
    const std::string prefix = std::string(kind) + ": ";
    if (line.rfind(prefix, 0) == 0) return {kind, "", Unescape(line.substr(prefix.size()))};
  }
  const std::size_t captionEnd = line.find("]: ");
  if (line.rfind("message [", 0) == 0 && captionEnd != std::string::npos)
    return {"message", Unescape(line.substr(9, captionEnd - 9)),
            Unescape(line.substr(captionEnd + 3))};
  return {};
}

std::string Entry(int id, Language language) {
  return text::Utf16ToUtf8(text::StringTableEntry(id, language));
}
// "[caption] text", as the test writes a message line down.
std::string Message(const std::string& caption, const std::string& text) {
  std::string message = "[";
  message.append(caption).append("] ").append(text);
  return message;
}
std::string Message(int caption, const std::string& text, Language language) {
  return Message(Entry(caption, language), text);
}
std::string Message(int caption, int text, Language language) {
  return Message(caption, Entry(text, language), language);
}

struct CliCase {
  const char* name;
  std::vector<std::string> arguments;
  int exitCode;
  std::vector<std::string> kinds;  // the kinds of line the run shows, each at least once
  // Its message lines as "[caption] text", in order.
  std::function<std::vector<std::string>(Language)> messages;
};

const CliCase kCases[] = {
    {"DemoUpdate",
     {"--demo", "--yes"},
     0,
     {"device", "list", "button", "message"},
     [](Language language) {
       return std::vector<std::string>{
           Message(text::kStrFinishedCaption, text::kStrFinished, language)};
     }},
    {"ServerNotListening",
     {"--demo", "--yes", "--server", "http://127.0.0.1:1/"},
     1,
     {"device", "message"},
     [](Language language) {
       return std::vector<std::string>{
           Message(text::kStrNetworkProblem, text::kStrCannotConnect, language),
           Message(text::kStrRuntimeError,
                   text::Utf16ToUtf8(text::FormatText(
                       text::StringTableEntry(text::kStrError0302, language), {-9})),
                   language),
           Message(text::kStrAnalysis, text::kStrCheckNetwork, language),
       };
     }},
};

class CliLanguageTest : public ::testing::TestWithParam<std::tuple<Language, CliCase>> {};

TEST_P(CliLanguageTest, EveryShownLineIsOfTheLanguage) {
  const auto& [language, c] = GetParam();
  std::string command = VQR_CLI_PATH;
  for (const std::string& argument : c.arguments) command += " " + argument;
  command += " --lang " + std::string(text::LanguageTag(language));
  const CommandRun run = RunCommand(command);
  EXPECT_EQ(run.exitCode, c.exitCode) << command;

  std::vector<std::string> kinds;
  std::vector<std::string> messages;
  std::size_t at = 0;
  while (at < run.output.size()) {
    std::size_t end = run.output.find('\n', at);
    if (end == std::string::npos) end = run.output.size();
    std::string line = run.output.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a Windows text stream's
    const ShownLine shown = ParseLine(line);
    if (shown.kind.empty()) continue;
    if (std::find(kinds.begin(), kinds.end(), shown.kind) == kinds.end())
      kinds.push_back(shown.kind);
    std::vector<std::string> texts{shown.text};
    if (shown.kind == "message") {
      texts.push_back(shown.caption);
      messages.push_back(Message(shown.caption, shown.text));
    }
    for (const std::string& text : texts) {
      const ShownTextVerdict verdict = Judge(text::Utf8ToUtf16(text), language);
      EXPECT_TRUE(verdict.ownLanguage) << "not a text of the language: " << line;
      EXPECT_EQ(verdict.foreignEntry, "") << "in: " << line;
    }
  }
  for (const std::string& kind : c.kinds)
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end())
        << "no " << kind << " line in:\n"
        << run.output;
  EXPECT_EQ(messages, c.messages(language));
}

INSTANTIATE_TEST_SUITE_P(EveryLanguage, CliLanguageTest,
                         ::testing::Combine(::testing::ValuesIn(text::kLanguages),
                                            ::testing::ValuesIn(kCases)),
                         LanguageCaseName());

}  // namespace
}  // namespace vqr::testing
