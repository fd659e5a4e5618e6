// The workers in each language: the whole demo update and the main failures (the catalog
// cannot be downloaded, an image is bad, the read-back differs) show only texts of that
// language's column of the string table. On Windows the texts are loaded from the program's
// resources, the STRINGTABLE block of the language, as the window loads them.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "language_param.h"
#include "shown_texts.h"
#include "text/string_table.h"
#include "ui/shell/controller.h"
#include "ui/shell/device_notice.h"
#include "ui/shell/window_arguments.h"
#include "workflow/workers.h"
#include "workflow_fixture.h"

#if defined(_WIN32)
#include "ui/win32/main_window.h"
#include "ui/win32/win32_api.h"
#include "ui/win32/win32_port.h"
#endif

namespace vqr::text {
// For readable test names in failures.
void PrintTo(Language language, std::ostream* out) {
  *out << LanguageTag(language);
}
}  // namespace vqr::text

namespace vqr::testing {
namespace {

using text::Language;

// The recorder, with every string-table load made as the platform's window makes it.
class PlatformTablePort final : public ui::WindowPort {
 public:
  explicit PlatformTablePort(ui::RecordingPort& recorder) : m_recorder(recorder) {}
  void SetText(int control, const std::u16string& text) override {
    m_recorder.SetText(control, text);
  }
  void Enable(int control, bool enabled) override { m_recorder.Enable(control, enabled); }
  void AppendListItem(const std::u16string& text) override { m_recorder.AppendListItem(text); }
  void SelectListItem(int index) override { m_recorder.SelectListItem(index); }
  int ListSelection() override { return m_recorder.ListSelection(); }
  void ClearList() override { m_recorder.ClearList(); }
  void Batch(const std::function<void()>& work) override { m_recorder.Batch(work); }
  std::u16string LoadString(int id) override {
#if defined(_WIN32)
    return win32::LoadTableString(GetModuleHandleW(nullptr), id);
#else
    return m_recorder.LoadString(id);
#endif
  }
  void MessageBox(const std::u16string& text, const std::u16string& caption,
                  ui::MessageIcon icon) override {
    m_recorder.MessageBox(text, caption, icon);
  }
  void EndProcess(int code) override {
    m_recorder.EndProcess(code);
  }

 private:
  ui::RecordingPort& m_recorder;
};

class NoTimer final : public ui::SearchTimer {
 public:
  void StartSearchTimer() override {}
  void StopSearchTimer() override {}
};

class LanguageFlowTest : public WorkflowTest, public ::testing::WithParamInterface<Language> {
 public:
  void SetUp() override {
    WorkflowTest::SetUp();
    text::SetLanguage(GetParam());
    context.port = &m_platformPort;
  }
  void TearDown() override {
    text::SetLanguage(Language::kZhTw);
    WorkflowTest::TearDown();
  }

  // Every text shown so far: control texts and both halves of each message box. The image
  // list's lines are left out: their descriptions are the server's, not the program's.
  std::vector<std::u16string> Shown() const {
    std::vector<std::u16string> shown;
    for (const ui::PortCall& call : port.Calls()) {
      if (call.kind == ui::PortCall::Kind::kSetText) shown.push_back(call.text);
      if (call.kind == ui::PortCall::Kind::kMessageBox) {
        shown.push_back(call.text);
        shown.push_back(call.caption);
      }
    }
    return shown;
  }

  void ExpectAllInLanguage(std::size_t atLeast) const {
    const std::vector<std::u16string> shown = Shown();
    EXPECT_GE(shown.size(), atLeast);
    for (const std::u16string& text : shown) {
      const ShownTextVerdict verdict = Judge(text, GetParam());
      EXPECT_TRUE(verdict.ownLanguage) << "not a text of the language: " << Utf8(text);
      EXPECT_EQ(verdict.foreignEntry, "") << "shown: " << Utf8(text);
    }
  }

  // The message boxes as "[caption] text".
  std::vector<std::string> Boxes() const {
    std::vector<std::string> boxes;
    for (const ui::PortCall& call : port.MessageBoxes())
      boxes.push_back("[" + Utf8(call.caption) + "] " + Utf8(call.text));
    return boxes;
  }

  std::string Entry(int id) const { return Utf8(text::StringTableEntry(id, GetParam())); }
  std::string Box(int caption, const std::u16string& text) const {
    return "[" + Entry(caption) + "] " + Utf8(text);
  }
  std::string Box(int caption, int text) const {
    return Box(caption, text::StringTableEntry(text, GetParam()));
  }
  std::string Error(int format, std::initializer_list<text::FormatArg> values) const {
    return Box(text::kStrRuntimeError,
               text::FormatText(text::StringTableEntry(format, GetParam()), values));
  }

 protected:
  PlatformTablePort m_platformPort{port};
};

TEST_P(LanguageFlowTest, TheWholeDemoUpdate) {
  // The search counts in the device label until the demo's device is plugged in.
  NoTimer timer;
  ui::WindowController controller(m_platformPort, timer, context);
  controller.Tick();
  EXPECT_EQ(Utf8(port.Text(ui::kDeviceLabel)),
            Utf8(text::FormatText(text::StringTableEntry(text::kStrSearching, GetParam()), {1})));

  demo::Demo demo;
  ASSERT_TRUE(demo.Start(std::chrono::milliseconds(0)));
  context.serverBase = demo.ServerBase();
  context.trustedKeys = demo.TrustedKeys();
  context.signaturesRequired = true;
  ASSERT_EQ(FindAndOpenDevice(), 1);
  ASSERT_EQ(IdentifyThread(&context), 1u);
  ASSERT_EQ(UpdateThread(&context), 1u);
  ExpectAllInLanguage(10);
  EXPECT_EQ(Boxes(), std::vector<std::string>{Box(text::kStrFinishedCaption, text::kStrFinished)});
  EXPECT_EQ(Utf8(port.Text(ui::kStartButton)), Entry(text::kStrFinishedButton));
}

TEST_P(LanguageFlowTest, TheCatalogCannotBeDownloaded) {
  Attach({});
  Publish(StandardImages(), {});
  context.serverBase = "http://127.0.0.1:1/";  // nobody listens
  EXPECT_EQ(IdentifyThread(&context), 0u);
  ExpectAllInLanguage(6);
  EXPECT_EQ(Boxes(), (std::vector<std::string>{
                         Box(text::kStrNetworkProblem, text::kStrCannotConnect),
                         Error(text::kStrError0302, {-9}),
                         Box(text::kStrAnalysis, text::kStrCheckNetwork),
                     }));
}

TEST_P(LanguageFlowTest, ABadImage) {
  Attach({});
  const auto images = StandardImages();
  Publish(images, {"", "", "Demo", "Other"});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  std::vector<std::uint8_t> damaged = server.File("Pool37x/" + images[0].name);
  ASSERT_GT(damaged.size(), 100u);
  damaged[100] ^= 0x20;
  server.Replace("Pool37x/" + images[0].name, damaged);
  EXPECT_EQ(UpdateThread(&context), 0u);
  ExpectAllInLanguage(3);
  // The package check refuses the image: error 0402 with its code.
  const std::vector<ui::PortCall> boxes = port.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Utf8(boxes[0].caption), Entry(text::kStrRuntimeError));
  EXPECT_TRUE(std::regex_match(
      Utf8(boxes[0].text), FormatPattern(text::StringTableEntry(text::kStrError0402, GetParam()))))
      << Utf8(boxes[0].text);
  EXPECT_EQ(port.ExitCode(), 0);
}

TEST_P(LanguageFlowTest, AReadBackMismatch) {
  Attach({});
  Publish({MakeImage("T0Q713.bin", 7, 7, 3)}, {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  device->FlipBitsOnRead(7 * 16, 0, 5, 0x01);
  EXPECT_EQ(UpdateThread(&context), 0u);
  ExpectAllInLanguage(5);
  EXPECT_EQ(Boxes(), std::vector<std::string>{Error(text::kStrError0403, {0, 800, 5})});
  // The progress of the one sector in this language, to the end of its read-back.
  EXPECT_EQ(Utf8(port.Text(ui::kStartButton)),
            Utf8(text::FormatText(text::StringTableEntry(text::kStrVerified, GetParam()), {'T'})));
}

TEST_P(LanguageFlowTest, DeviceNoticesAreInEnglishAndTheLanguage) {
  const std::u16string notice =
      ui::DeviceNoticeText({hid::OpenError::kBusy, 16, u"Device or resource busy", u"/dev/hidraw1"},
                           ui::NoticePlatform::kLinux);
  const std::u16string english(text::TableText(text::kStrNoticeBusy, Language::kEn));
  const std::u16string own(text::TableText(text::kStrNoticeBusy, GetParam()));
  const std::u16string details = u"[/dev/hidraw1] 16: Device or resource busy";
  EXPECT_EQ(notice, GetParam() == Language::kEn ? english + u"\n\n" + details
                                                : english + u"\n\n" + own + u"\n\n" + details);
  for (Language other : text::kLanguages) {
    if (other == GetParam() || other == Language::kEn) continue;
    EXPECT_EQ(notice.find(text::TableText(text::kStrNoticeBusy, other)), std::u16string::npos)
        << text::LanguageTag(other);
  }
}

TEST(WindowArguments, LangChoosesTheLanguageBesideTheOtherArguments) {
  using Mode = ui::WindowArguments::Mode;
  struct Case {
    std::vector<std::string_view> arguments;
    Mode mode;
    std::optional<Language> language;
    std::string error;
  };
  const Case cases[] = {
      {{}, Mode::kWindow, std::nullopt, ""},
      {{"--demo"}, Mode::kDemo, std::nullopt, ""},
      {{"--version"}, Mode::kVersion, std::nullopt, ""},
      {{"--lang", "ja"}, Mode::kWindow, Language::kJa, ""},
      {{"--lang=zh-CN"}, Mode::kWindow, Language::kZhCn, ""},
      {{"--demo", "--lang", "en"}, Mode::kDemo, Language::kEn, ""},
      {{"--lang", "zh-TW", "--demo"}, Mode::kDemo, Language::kZhTw, ""},
      {{"--lang", "fr"},
       Mode::kUsage,
       std::nullopt,
       "--lang: unknown language fr: use zh-TW, en, ja or zh-CN"},
      {{"--lang=zh_TW"},
       Mode::kUsage,
       std::nullopt,
       "--lang: unknown language zh_TW: use zh-TW, en, ja or zh-CN"},
      {{"--lang"},
       Mode::kUsage,
       std::nullopt,
       "--lang: a language is needed: zh-TW, en, ja or zh-CN"},
      {{"--lang", "en", "--lang", "ja"}, Mode::kUsage, std::nullopt, ""},
      {{"--demo", "--demo"}, Mode::kUsage, std::nullopt, ""},
      {{"--version", "--lang", "en"}, Mode::kUsage, std::nullopt, ""},
      {{"--demo", "--version"}, Mode::kUsage, std::nullopt, ""},
      {{"--bogus"}, Mode::kUsage, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (std::string_view argument : c.arguments) joined += std::string(argument) + " ";
    const ui::WindowArguments parsed = ui::ParseWindowArguments(c.arguments, true);
    EXPECT_EQ(parsed.mode, c.mode) << joined;
    if (c.mode != Mode::kUsage) {
      EXPECT_EQ(parsed.language, c.language) << joined;
    }
    EXPECT_EQ(parsed.languageError, c.error) << joined;
  }
  EXPECT_EQ(ui::ParseWindowArguments({"--version"}, false).mode, Mode::kUsage)
      << "the Windows program has no --version";
}

#if defined(_WIN32)
// The resources' STRINGTABLE blocks are the table's columns, read as the window reads them.
TEST(WindowsResources, EachLanguagesBlockHoldsItsColumn) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  for (const text::TableEntry& entry : text::StringTable())
    for (Language language : text::kLanguages)
      EXPECT_EQ(Utf8(win32::LoadTableString(instance, entry.id, language)),
                Utf8(text::StringTableEntry(entry.id, language)))
          << entry.id << " " << text::LanguageTag(language);
  EXPECT_TRUE(win32::LoadTableString(instance, 999, Language::kJa).empty());
  EXPECT_TRUE(win32::LoadTableString(instance, 131, Language::kEn).empty())
      << "an absent entry of a block that exists";
}

TEST(WindowsCommandLine, SplitsAsWindowsDoesAndTakesLang) {
  using Mode = ui::WindowArguments::Mode;
  EXPECT_EQ(win32::ParseCommandLine(L"vqr03.exe").mode, Mode::kWindow);
  const ui::WindowArguments quoted =
      win32::ParseCommandLine(L"\"C:\\Program Files\\vqr03\\vqr03.exe\" --lang \"ja\" --demo");
  EXPECT_EQ(quoted.mode, Mode::kDemo);
  EXPECT_EQ(quoted.language, Language::kJa);
  EXPECT_EQ(win32::ParseCommandLine(L"vqr03.exe --lang=en").language, Language::kEn);
  EXPECT_EQ(win32::ParseCommandLine(L"vqr03.exe --lang xx").mode, Mode::kUsage);
  EXPECT_EQ(win32::ParseCommandLine(L"vqr03.exe --version").mode, Mode::kUsage);
  EXPECT_TRUE(win32::IsDemoCommandLine(L"vqr03.exe --demo --lang zh-CN"));
  EXPECT_FALSE(win32::IsDemoCommandLine(L"vqr03.exe --lang zh-CN"));
}
#endif

INSTANTIATE_TEST_SUITE_P(EveryLanguage, LanguageFlowTest, ::testing::ValuesIn(text::kLanguages),
                         vqr::testing::LanguageParamName());

}  // namespace
}  // namespace vqr::testing
