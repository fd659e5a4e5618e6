// The workers in each language: the whole demo update and the main failures (the catalog
// cannot be downloaded, the updater or the catalog is out of date, no memory for an image, an
// image is bad, the read-back differs) show only texts of that language's column of the string
// table. On Windows the texts are loaded from the program's
// resources, the STRINGTABLE block of the language, as the window loads them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "formats/package.h"
#include "language_param.h"
#include "shown_texts.h"
#include "text/string_table.h"
#include "ui/shell/controller.h"
#include "ui/shell/device_notice.h"
#include "ui/shell/window_arguments.h"
#include "workflow/state.h"
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

// The world of the workers in one language: every shown text is judged against that
// language's column.
class LanguageFixture : public WorkflowTest {
 public:
  void SetUp() override {
    WorkflowTest::SetUp();
    text::SetLanguage(TestLanguage());
    context.port = &m_platformPort;
  }
  void TearDown() override {
    text::SetLanguage(Language::kZhTw);
    WorkflowTest::TearDown();
  }

  virtual Language TestLanguage() const = 0;

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
      const ShownTextVerdict verdict = Judge(text, TestLanguage());
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

  std::string Entry(int id) const { return Utf8(text::StringTableEntry(id, TestLanguage())); }
  std::string Format(int id, std::initializer_list<text::FormatArg> values) const {
    return Utf8(text::FormatText(text::StringTableEntry(id, TestLanguage()), values));
  }
  std::string Box(int caption, const std::string& text) const {
    return "[" + Entry(caption) + "] " + text;
  }
  std::string Box(int caption, int text) const { return Box(caption, Entry(text)); }
  std::string Error(int format, std::initializer_list<text::FormatArg> values) const {
    return Box(text::kStrRuntimeError, Format(format, values));
  }

 protected:
  PlatformTablePort m_platformPort{port};
};

class LanguageFlowTest : public LanguageFixture, public ::testing::WithParamInterface<Language> {
 public:
  Language TestLanguage() const override { return GetParam(); }
};

TEST_P(LanguageFlowTest, TheWholeDemoUpdate) {
  // The search counts in the device label until the demo's device is plugged in.
  ui::NoSearchTimer timer;
  ui::WindowController controller(m_platformPort, timer, context);
  controller.Tick();
  EXPECT_EQ(Utf8(port.Text(ui::kDeviceLabel)), Format(text::kStrSearching, {1}));

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

// A main failure row: what goes wrong, the message boxes it shows and the start button's last
// caption, in the language under test.
struct FailureRow {
  const char* name;
  // Plugs the device in and publishes the content for the identification.
  std::function<void(LanguageFixture&)> arrange;
  // For a failure of the update: breaks what the update meets, once the identification has
  // passed. Null when the identification itself fails.
  std::function<void(LanguageFixture&)> breakUpdate;
  std::function<std::vector<std::string>(const LanguageFixture&)> boxes;
  std::function<std::string(const LanguageFixture&)> lastButton;  // "": never set
};

class LanguageFailureTest : public LanguageFixture,
                            public ::testing::WithParamInterface<std::tuple<Language, FailureRow>> {
 public:
  Language TestLanguage() const override { return std::get<0>(GetParam()); }
};

TEST_P(LanguageFailureTest, ShowsOnlyTheLanguagesTexts) {
  const FailureRow& row = std::get<1>(GetParam());
  row.arrange(*this);
  if (row.breakUpdate) {
    ASSERT_EQ(IdentifyThread(&context), 1u);
    row.breakUpdate(*this);
    EXPECT_EQ(UpdateThread(&context), 0u);
  } else {
    EXPECT_EQ(IdentifyThread(&context), 0u);
  }
  const std::vector<std::string> boxes = row.boxes(*this);
  ExpectAllInLanguage(2 * boxes.size());
  EXPECT_EQ(Boxes(), boxes);
  EXPECT_EQ(Utf8(port.Text(ui::kStartButton)), row.lastButton(*this));
  EXPECT_EQ(port.ExitCode(), 0);
}

void AttachAndPublish(LanguageFixture& t) {
  t.Attach({});
  t.Publish(t.StandardImages(), {"", "", "Demo", "Other"});
}

std::string NeverSet(const LanguageFixture&) {
  return "";
}

std::string Downloading(const LanguageFixture& t) {
  return t.Entry(text::kStrDownloading);
}

const FailureRow kFailureRows[] = {
    {"CatalogCannotBeDownloaded",
     [](LanguageFixture& t) {
       AttachAndPublish(t);
       t.context.serverBase = "http://127.0.0.1:1/";  // nobody listens
     },
     nullptr,
     [](const LanguageFixture& t) {
       return std::vector<std::string>{
           t.Box(text::kStrNetworkProblem, text::kStrCannotConnect),
           t.Error(text::kStrError0302, {-9}),
           t.Box(text::kStrAnalysis, text::kStrCheckNetwork),
       };
     },
     NeverSet},
    // Page byte 7 above the updater's generation names the updater to download.
    {"OutdatedUpdater",
     [](LanguageFixture& t) {
       InfoPageFields fields;
       fields.generation = 0xA5;
       t.Attach(fields);
       t.Publish(t.StandardImages(), {});
     },
     nullptr,
     [](const LanguageFixture& t) {
       return std::vector<std::string>{t.Box(text::kStrUpdaterOutdatedCaption,
                                             t.Format(text::kStrOutdatedUpdater, {'A', '5'}))};
     },
     NeverSet},
    // Catalog byte 10 below the updater's generation: another server may have newer data.
    {"OlderCatalog",
     [](LanguageFixture& t) {
       t.Attach({});
       t.Publish(t.StandardImages(), {}, 2);
     },
     nullptr,
     [](const LanguageFixture& t) {
       return std::vector<std::string>{
           t.Box(text::kStrDataOutdatedCaption, text::kStrTryOtherServer)};
     },
     NeverSet},
    // No memory for the second image: error 0401 with its row.
    {"NoMemoryForAnImage", AttachAndPublish,
     [](LanguageFixture&) {
       std::lock_guard lock(State().lock);
       FailNextAllocationOf(State().CatalogTable[1].size + 128);
     },
     [](const LanguageFixture& t) {
       return std::vector<std::string>{t.Error(text::kStrError0401, {1})};
     },
     Downloading},
    // The package check refuses a damaged image: error 0402 with its code, the check bytes'.
    {"ABadImage", AttachAndPublish,
     [](LanguageFixture& t) {
       const std::string path = "Pool37x/" + t.StandardImages()[0].name;
       std::vector<std::uint8_t> damaged = t.server.File(path);
       ASSERT_GT(damaged.size(), 100u);
       damaged[100] ^= 0x20;
       t.server.Replace(path, damaged);
     },
     [](const LanguageFixture& t) {
       return std::vector<std::string>{t.Error(text::kStrError0402, {kPackageXorDiffers})};
     },
     Downloading},
    // The read-back of the one sector differs: error 0403 with the row, the bytes and the
    // mismatches, after the progress of that sector to the end of its read-back.
    {"AReadBackMismatch",
     [](LanguageFixture& t) {
       t.Attach({});
       t.Publish({MakeImage("T0Q713.bin", 7, 7, 3)}, {});
     },
     [](LanguageFixture& t) { t.device->FlipBitsOnRead(7 * 16, 0, 5, 0x01); },
     [](const LanguageFixture& t) {
       return std::vector<std::string>{t.Error(text::kStrError0403, {0, 800, 5})};
     },
     [](const LanguageFixture& t) { return t.Format(text::kStrVerified, {'T'}); }},
};

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
INSTANTIATE_TEST_SUITE_P(EveryLanguage, LanguageFailureTest,
                         ::testing::Combine(::testing::ValuesIn(text::kLanguages),
                                            ::testing::ValuesIn(kFailureRows)),
                         vqr::testing::LanguageCaseName());

}  // namespace
}  // namespace vqr::testing
