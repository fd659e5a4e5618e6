// The workers end to end: a simulated device, a real loopback server with packages made by the
// builder, and the recording port.
#include <gmock/gmock.h>

#include <fstream>
#include <optional>
#include <sstream>

#include <algorithm>

#include "demo/demo.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "ui/shell/controller.h"
#include "ui/shell/device_notice.h"
#include "workflow/program.h"
#include "workflow/workers.h"
#include "workflow_fixture.h"

namespace vqr::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Icon = ui::MessageIcon;

struct Box {
  std::string text, caption;
  Icon icon;
  bool operator==(const Box&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Box& box) {
  return out << "[" << box.caption << "] " << box.text
             << (box.icon == Icon::kError ? " (error)" : " (information)");
}
std::vector<Box> BoxesOf(const ui::RecordingPort& port) {
  std::vector<Box> boxes;
  for (const ui::PortCall& call : port.MessageBoxes())
    boxes.push_back({Utf8(call.text), Utf8(call.caption), call.icon});
  return boxes;
}

// The boxes of a download whose connection closes before the declared length. libcurl reports
// it as a failed read: the fetch's box, then the numbered error with -9. WinINet ends the body
// there as if it were complete: the package check then refuses the short file with -3.
std::vector<Box> DroppedConnection(const std::string& error, std::vector<Box> after) {
#if defined(_WIN32)
  std::vector<Box> boxes{Box{error + " -3", "執行時錯誤", Icon::kError}};
#else
  std::vector<Box> boxes{Box{"讀檔案出錯!", "網路問題", Icon::kInformation},
                         Box{error + " -9", "執行時錯誤", Icon::kError}};
#endif
  boxes.insert(boxes.end(), after.begin(), after.end());
  return boxes;
}

const Box kAdvice{"請檢查網路連線後重試", "錯誤分析", Icon::kInformation};
Box Error(const std::string& text) {
  return {text, "執行時錯誤", Icon::kError};
}

// The device commands on the wire, decoded from the trace: "read P+N", "write P+N",
// "erase S", "open N" and "close".
std::vector<std::string> WireCommands(const std::string& tracePath) {
  std::ifstream in(tracePath);
  std::vector<std::string> commands;
  std::uint32_t dataReportsLeft = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("IN ", 0) == 0) continue;
    if (dataReportsLeft > 0) {
      --dataReportsLeft;
      continue;
    }
    std::uint8_t packet[18];
    for (int i = 0; i < 18; ++i) packet[i] = std::stoi(line.substr(4 + 2 + 2 * i, 2), nullptr, 16);
    const CommandPacket decoded = CommandPacket::Parse(packet);
    std::ostringstream text;
    switch (decoded.code) {
      case kCmdRead:
        text << "read " << decoded.arg1 << "+" << decoded.arg2;
        break;
      case kCmdWrite:
        text << "write " << decoded.arg1 << "+" << decoded.arg2;
        dataReportsLeft = decoded.arg2 * 4;
        break;
      case kCmdErase:
        text << "erase " << decoded.arg1;
        break;
      case kCmdTest:
        if (decoded.arg1 == kClosingWord && decoded.arg2 == kClosingWord)
          text << "close";
        else if (decoded.arg1 == kOpeningWord)
          text << "open " << decoded.arg2;
        else
          text << "test";
        break;
      default:
        text << "unknown";
    }
    commands.push_back(text.str());
  }
  return commands;
}

std::vector<std::string> ExpectedProgramming(const ImageHeader& header) {
  std::vector<std::string> expected{"open " + std::to_string(header.last - header.first + 1)};
  for (std::uint32_t s = header.first; s < header.last; ++s) {
    expected.push_back("erase " + std::to_string(s));
    expected.push_back("write " + std::to_string(s * 16) + "+16");
  }
  expected.push_back("erase " + std::to_string(header.last));
  expected.push_back("write " + std::to_string(header.last * 16) + "+" +
                     std::to_string(header.tailPages));
  for (std::uint32_t s = header.first; s < header.last; ++s)
    expected.push_back("read " + std::to_string(s * 16) + "+16");
  expected.push_back("read " + std::to_string(header.last * 16) + "+" +
                     std::to_string(header.tailPages));
  return expected;
}

// The flash holds the image at its sectors, with the rest of its last sector erased.
void ExpectImageInFlash(const sim::SimBootloader& device, const TestImage& image) {
  const auto flash = device.Flash();
  const std::size_t start = std::size_t{image.header.first} * 4096;
  ASSERT_TRUE(std::equal(image.data.begin(), image.data.end(), flash.begin() + start))
      << image.name;
  const std::size_t end = (std::size_t{image.header.last} + 1) * 4096;
  for (std::size_t at = start + image.data.size(); at < end; ++at)
    ASSERT_EQ(flash[at], 0xFF) << image.name << " at " << at;
}

// --- Identification ---

TEST_F(WorkflowTest, IdentifiesListsAndEnablesTheStartButton) {
  Attach({});
  Publish(StandardImages(), {"Fixed T", "Fixed V", "Demo", "Other"});
  EXPECT_EQ(IdentifyThread(&context), 1u);
  EXPECT_TRUE(BoxesOf(port).empty());
  EXPECT_EQ(Utf8(port.Text(ui::kDeviceLabel)), "版本 : [ 2345 ]");
  EXPECT_THAT(port.List(), ElementsAre(u" 3234  [ Demo ]", u" 3299  [ Other ]"));
  EXPECT_EQ(port.ListSelection(), 0);
  EXPECT_EQ(port.Enabled(ui::kImageList), true);
  EXPECT_EQ(port.Enabled(ui::kStartButton), true);
  EXPECT_THAT(server.Requests(), ElementsAre("Door3/AB7C.Bin"));
  WorkflowState& state = State();
  std::lock_guard lock(state.lock);
  EXPECT_EQ(state.CatalogRowCount, 4);
  EXPECT_STREQ(state.ImagePoolSuffix, "7x");
  EXPECT_STREQ(state.device.ModelCode, "AB7C");
  EXPECT_NE(state.CatalogTable[0].size, 0u);
  // The start button is enabled last, after the list.
  const auto calls = port.Calls();
  EXPECT_EQ(calls.back().kind, ui::PortCall::Kind::kEnable);
  EXPECT_EQ(calls.back().control, ui::kStartButton);
}

TEST_F(WorkflowTest, DeviceLabelShowsBytesOfSixteenOrMoreAsZero) {
  InfoPageFields fields;
  fields.version = {0x2B, 0x0C, 0x10, 0x00};
  Attach(fields);
  Publish(StandardImages(), {});
  IdentifyThread(&context);
  EXPECT_EQ(Utf8(port.Text(ui::kDeviceLabel)), "版本 : [ BC00 ]");
}

struct GateCase {
  std::uint8_t generation;
  const char* file;  // empty: passes
};
class UpdaterGateTest : public WorkflowTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(UpdaterGateTest, RefusesADeviceThatNeedsANewerUpdater) {
  InfoPageFields fields;
  fields.generation = GetParam().generation;
  Attach(fields);
  Publish(StandardImages(), {});
  const std::uint32_t result = IdentifyThread(&context);
  if (std::string(GetParam().file).empty()) {
    EXPECT_EQ(result, 1u);
    EXPECT_TRUE(BoxesOf(port).empty());
    return;
  }
  EXPECT_EQ(result, 0u);
  EXPECT_THAT(BoxesOf(port),
              ElementsAre(Box{std::string("請下載最新版更新程式\n[ ") + GetParam().file + " ]",
                              "更新程式 過時", Icon::kInformation}));
  EXPECT_EQ(port.ExitCode(), 0);
  EXPECT_EQ(port.Text(ui::kDeviceLabel), u"") << "the label still shows the search";
  EXPECT_TRUE(server.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Generations, UpdaterGateTest,
                         ::testing::Values(GateCase{0, ""}, GateCase{3, ""},
                                           GateCase{4, "VQR04.exe"}, GateCase{0xA5, "VQRA5.exe"},
                                           GateCase{0xFF, "VQRFF.exe"}));

TEST_F(WorkflowTest, NoMemoryForTheCatalogIsError0301) {
  Attach({});
  FailNextAllocationOf(kCatalogBufferSize);
  EXPECT_EQ(IdentifyThread(&context), 0u);
  EXPECT_THAT(BoxesOf(port), ElementsAre(Error("錯誤碼: 0301")));
  EXPECT_EQ(port.ExitCode(), 0);
}

struct CatalogFailure {
  const char* name;
  std::function<void(WorkflowTest&, LoopbackServer&)> arrange;
  std::vector<Box> boxes;
};

class CatalogFailureTest : public WorkflowTest,
                           public ::testing::WithParamInterface<CatalogFailure> {};

TEST_P(CatalogFailureTest, ShowsItsBoxesInOrderAndEnds) {
  Attach({});
  Publish(StandardImages(), {"a", "b", "c"});
  GetParam().arrange(*this, server);
  EXPECT_EQ(IdentifyThread(&context), 0u);
  EXPECT_THAT(BoxesOf(port), ElementsAreArray(GetParam().boxes));
  EXPECT_EQ(port.ExitCode(), 0);
  EXPECT_EQ(Utf8(port.Text(ui::kDeviceLabel)), "版本 : [ 2345 ]");
  EXPECT_TRUE(port.List().empty());
  EXPECT_FALSE(port.Enabled(ui::kStartButton).has_value());
}

std::vector<std::uint8_t> CatalogFile(const std::string& model, std::uint8_t generation,
                                      std::vector<CatalogEntry> entries) {
  std::string error;
  return BuildCatalog(model, {generation, std::move(entries)}, &error);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CatalogFailureTest,
    ::testing::Values(
        CatalogFailure{"EmptyBody",
                       [](WorkflowTest&, LoopbackServer& s) { s.Put("Door3/AB7C.Bin", {}); },
                       {Error("錯誤碼: 0302 -3"), kAdvice}},
        CatalogFailure{"NotFoundPage",
                       [](WorkflowTest&, LoopbackServer& s) { s.Remove("Door3/AB7C.Bin"); },
                       {Error("錯誤碼: 0302 -7"), kAdvice}},
        CatalogFailure{"OtherModel",
                       [](WorkflowTest&, LoopbackServer& s) {
                         s.Put("Door3/AB7C.Bin", CatalogFile("ZZ7C", 3, {{"T0Q713.bin", 1, u""}}));
                       },
                       {Error("錯誤碼: 0302 -7"), kAdvice}},
        CatalogFailure{"Damaged",
                       [](WorkflowTest&, LoopbackServer& s) {
                         auto bytes = CatalogFile("AB7C", 3, {{"T0Q713.bin", 1, u"x"}});
                         bytes[40] ^= 0x20;
                         s.Put("Door3/AB7C.Bin", bytes);
                       },
                       {Error("錯誤碼: 0302 -4"), kAdvice}},
        CatalogFailure{"ConnectionDropped",
                       [](WorkflowTest&, LoopbackServer& s) { s.Truncate("Door3/AB7C.Bin", 40); },
                       DroppedConnection("錯誤碼: 0302", {kAdvice})},
        CatalogFailure{
            "NobodyListening",
            [](WorkflowTest& t, LoopbackServer&) { t.context.serverBase = "http://127.0.0.1:1/"; },
            {Box{"無法鏈結伺服器!", "網路問題", Icon::kInformation}, Error("錯誤碼: 0302 -9"),
             kAdvice}},
        CatalogFailure{"UrlTooLong",
                       [](WorkflowTest& t, LoopbackServer&) {
                         t.context.serverBase = "http://127.0.0.1/" + std::string(80, 'd') + "/";
                       },
                       {Error("錯誤碼: 0302 -10"), kAdvice}},
        CatalogFailure{"OlderGeneration",
                       [](WorkflowTest&, LoopbackServer& s) {
                         s.Put("Door3/AB7C.Bin", CatalogFile("AB7C", 2, {}));
                       },
                       {Box{"換個伺服器試試", "下載資料 過時", Icon::kInformation}}},
        CatalogFailure{"GenerationZero",
                       [](WorkflowTest&, LoopbackServer& s) {
                         s.Put("Door3/AB7C.Bin", CatalogFile("AB7C", 0, {}));
                       },
                       {Box{"換個伺服器試試", "下載資料 過時", Icon::kInformation}}},
        CatalogFailure{
            "NewerGeneration",
            [](WorkflowTest&, LoopbackServer& s) {
              s.Put("Door3/AB7C.Bin", CatalogFile("AB7C", 0x10, {}));
            },
            {Box{"請下載最新版更新程式\n[ VQR10.exe ]", "更新程式 過時", Icon::kInformation}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A catalog whose entry list breaks the format is refused as error 0302 with -8.
TEST_F(WorkflowTest, RefusesACatalogThatBreaksTheFormat) {
  Attach({});
  // A hand-made catalog: one entry whose description never ends within the file.
  std::vector<std::uint8_t> plain(32, 0);
  plain[10] = 3;
  for (const char c : std::string("T0Q713.bin")) plain.push_back(static_cast<std::uint8_t>(c));
  plain.insert(plain.end(), {0, 0, 0, 1, 0, 'A', 0, 'B', 0});
  const std::vector<std::uint8_t> content(plain.begin() + 32, plain.end());
  std::string error;
  PackageHeaderBytes header;
  header.at10[0] = 3;
  server.Put("Door3/AB7C.Bin", BuildPackage("AB7C", kModeCatalog, header, content, &error));
  EXPECT_EQ(IdentifyThread(&context), 0u);
  EXPECT_THAT(BoxesOf(port), ElementsAre(Error("錯誤碼: 0302 -8"), kAdvice));
  EXPECT_TRUE(port.List().empty());
}

// Names go into URLs as they stand: a catalog row whose name holds anything but ASCII letters,
// digits, '.', '_' and '-' (or begins with '.') makes the catalog malformed (0302 -8) before
// any image is requested, and a device whose model code does (0302 -13) has nothing
// requested at all. Each case is one class of character that would change the request.
struct BadName {
  const char* label;
  std::string name;
};
const BadName kBadNames[] = {
    {"PathTraversal", "T0AB7C/../../../etc/passwd"},
    {"Slash", "Pool37x/T0Q713.bin"},
    {"Backslash", "..\\T0Q713.bin"},
    {"Query", "T0Q713.bin?x=1"},
    {"Fragment", "T0Q713.bin#x"},
    {"PercentEscape", "T0Q713%00.bin"},
    {"Space", "T0Q713 .bin"},
    {"CarriageReturnLineFeed", "T0Q713.bin\r\nX-A: b"},
    {"Tab", "T0Q713\t.bin"},
    {"NonAscii", "T0Q713\xE9.bin"},
    {"LeadingDot", ".T0Q713.bin"},
    {"DotDot", ".."},
};

class BadRowNameTest : public WorkflowTest, public ::testing::WithParamInterface<BadName> {};

TEST_P(BadRowNameTest, CatalogRefusedAndTheNameNeverRequested) {
  Attach({});
  // A hand-made catalog, since the builder refuses such names: the bad name as row 0 (a fixed
  // image the device does not hold) and a good optional row after it.
  std::vector<std::uint8_t> content;
  const auto row = [&content](const std::string& name) {
    content.insert(content.end(), name.begin(), name.end());
    content.insert(content.end(), {0, 0, 0, 0x10, 0, 0, 0});
  };
  row(GetParam().name);
  row("T0Q713.bin");
  content.push_back(0);
  std::string error;
  PackageHeaderBytes header;
  header.at10[0] = 3;
  server.Put("Door3/AB7C.Bin", BuildPackage("AB7C", kModeCatalog, header, content, &error));
  Catalog built;
  built.entries.resize(1);
  ASSERT_TRUE(built.entries[0].SetName(GetParam().name));
  built.entries[0].size = 16;
  EXPECT_TRUE(BuildCatalog("AB7C", built, &error).empty()) << "the builder refuses it too";

  // Had the catalog been listed, the start button would fetch row 0 under its name.
  if (IdentifyThread(&context) == 1u) UpdateThread(&context);
  EXPECT_THAT(BoxesOf(port), ElementsAre(Error("錯誤碼: 0302 -8"), kAdvice));
  EXPECT_TRUE(port.List().empty());
  EXPECT_THAT(server.Requests(), ElementsAre("Door3/AB7C.Bin"));
}

INSTANTIATE_TEST_SUITE_P(NameClasses, BadRowNameTest, ::testing::ValuesIn(kBadNames),
                         [](const auto& info) { return std::string(info.param.label); });

const BadName kBadModels[] = {
    {"Slash", "A/7C"},      {"Query", "A?7C"},
    {"Fragment", "A#7C"},   {"Percent", "A%7C"},
    {"Space", "A 7C"},      {"CarriageReturnLineFeed", "A\r\n7"},
    {"LeadingDot", ".B7C"}, {"ZeroByte", std::string("AB\0C", 4)},
};

class BadModelCodeTest : public WorkflowTest, public ::testing::WithParamInterface<BadName> {};

TEST_P(BadModelCodeTest, RefusedAndNothingRequested) {
  InfoPageFields fields;
  fields.model = GetParam().name;
  Attach(fields);
  EXPECT_EQ(IdentifyThread(&context), 0u);
  EXPECT_THAT(BoxesOf(port), ElementsAre(Error("錯誤碼: 0302 -13"), kAdvice));
  EXPECT_TRUE(server.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(CharacterClasses, BadModelCodeTest, ::testing::ValuesIn(kBadModels),
                         [](const auto& info) { return std::string(info.param.label); });

struct HeldCase {
  const char* name;
  std::string row0, row1;  // names of rows 0 and 1
  std::array<std::uint8_t, 4> version;
  std::string pageRow1;
  bool row0Cleared, row1Cleared;
};
class FixedImagesHeldTest : public WorkflowTest, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(FixedImagesHeldTest, ClearsTheSizesOfImagesTheDeviceHolds) {
  const HeldCase& c = GetParam();
  InfoPageFields fields;
  fields.version = c.version;
  fields.row1 = c.pageRow1;
  Attach(fields);
  Publish(
      {MakeImage(c.row0, 1, 1, 1), MakeImage(c.row1, 2, 2, 1), MakeImage("C0Q234.bin", 3, 3, 1)},
      {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  WorkflowState& state = State();
  std::lock_guard lock(state.lock);
  EXPECT_EQ(state.CatalogTable[0].size == 0, c.row0Cleared);
  EXPECT_EQ(state.CatalogTable[1].size == 0, c.row1Cleared);
  EXPECT_NE(state.CatalogTable[2].size, 0u) << "optional rows are never cleared";
}

INSTANTIATE_TEST_SUITE_P(
    Versions, FixedImagesHeldTest,
    ::testing::Values(
        HeldCase{"BothHeld", "T0Q712.bin", "V0Q345.bin", {0x12, 3, 4, 5}, "345", true, true},
        HeldCase{"LowercaseHex", "T0Q71a.bin", "V0Q123.bin", {0x1A, 0, 0, 0}, "123", true, true},
        HeldCase{"UppercaseHex", "T0Q71A.bin", "V0Q124.bin", {0x1A, 0, 0, 0}, "123", true, false},
        HeldCase{"OtherVersion", "T0Q71B.bin", "V0Q1a0.bin", {0x1A, 0, 0, 0}, "1A0", false, false},
        HeldCase{
            "NonHexCountsAsZero", "T0QAG5.bin", "V0Q999.bin", {0x05, 0, 0, 0}, "998", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkflowTest, EightRowsListSixLinesInCatalogOrder) {
  Attach({});
  std::vector<TestImage> images{MakeImage("T0Q713.bin", 1, 1, 1), MakeImage("V0Q346.bin", 2, 2, 1)};
  const char* names[] = {"C0Qz09", "C0Qa01", "C0Q555", "C0Q100", "C0Q000", "C0Q777"};
  for (int k = 0; k < 6; ++k) images.push_back(MakeImage(names[k], 3 + k, 3 + k, 1));
  Publish(images, {"", "", "Z", "A", "M", "B", std::string(36, 'w'), ""});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  EXPECT_THAT(port.List(),
              ElementsAre(u" 3z09  [ Z ]", u" 3a01  [ A ]", u" 3555  [ M ]", u" 3100  [ B ]",
                          u" 3000  [ " + std::u16string(36, u'w') + u" ]", u" 3777  [  ]"));
  EXPECT_EQ(port.List()[4].size(), 47u) << "fills the 48-unit line buffer to its last unit";
  EXPECT_EQ(port.ListSelection(), 0);
}

TEST_F(WorkflowTest, EmptyCatalogEnablesAnEmptyList) {
  Attach({});
  Publish({}, {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  EXPECT_TRUE(port.List().empty());
  EXPECT_EQ(port.ListSelection(), -1);
  EXPECT_EQ(port.Enabled(ui::kImageList), true);
  EXPECT_EQ(port.Enabled(ui::kStartButton), true);
  std::lock_guard lock(State().lock);
  EXPECT_EQ(State().CatalogRowCount, 0);
}

// The window's side of an identification: the controller that the front ends drive, with the
// workers run on the test's thread one after the other, and a hook at each step of the
// identification.
class SearchAndUnplugTest : public WorkflowTest {
 protected:
  void SetUp() override {
    WorkflowTest::SetUp();
    controller = std::make_unique<ui::WindowController>(port, timer, context);
    controller->SetWorkerStarter([this](WorkerEntry entry) {
      entry(&controller->WorkerThreads().Context());
      return true;
    });
  }
  void TearDown() override {
    controller.reset();
    WorkflowTest::TearDown();
  }
  void OnStep(std::function<void(IdentifyStep)> hook) {
    controller->WorkerThreads().Context().onStep = std::move(hook);
  }
  // True when sector `first` on holds exactly the image's data.
  bool Holds(const TestImage& image) const {
    const std::vector<std::uint8_t> flash = device->Flash();
    const std::size_t at = std::size_t{image.header.first} * kSectorSize;
    return at + image.data.size() <= flash.size() &&
           std::equal(image.data.begin(), image.data.end(), flash.begin() + at);
  }

  ui::NoSearchTimer timer;
  std::unique_ptr<ui::WindowController> controller;
};

class UnplugAtStepTest : public SearchAndUnplugTest,
                         public ::testing::WithParamInterface<IdentifyStep> {};

// The device goes away at one step of an identification and comes back. Whatever the step,
// the list then stands for the second identification's catalog alone, and the item the user
// picks is the image installed.
TEST_P(UnplugAtStepTest, TheListAlwaysStandsForTheCatalogOfTheDevicePresent) {
  Attach({});
  const std::vector<TestImage> images = StandardImages();
  Publish(images, {"", "", "Demo", "Other"});
  bool unplugged = false;
  OnStep([&](IdentifyStep step) {
    if (step != GetParam() || unplugged) return;
    unplugged = true;
    controller->OnInterfaceRemoved(kDeviceVendor);
  });
  controller->Tick();
  ASSERT_TRUE(unplugged);
  EXPECT_FALSE(controller->DevicePresent());
  EXPECT_TRUE(port.List().empty()) << "the list the unplug emptied stays empty";
  EXPECT_EQ(port.Enabled(ui::kStartButton), std::optional<bool>(false));
  EXPECT_TRUE(port.MessageBoxes().empty());

  // The device is found again on the next tick and identified anew.
  controller->Tick();
  ASSERT_TRUE(controller->DevicePresent());
  ASSERT_EQ(port.List().size(), 2u) << "item i stands for row i + 2";
  EXPECT_EQ(port.Enabled(ui::kStartButton), std::optional<bool>(true));
  port.SelectListItem(1);  // row 3, "C0Q299.bin"
  controller->OnStart();
  EXPECT_THAT(BoxesOf(port),
              ElementsAre(Box{"OK\n拔線＋離開程式\nGoodbye.", "更新完成", Icon::kInformation}));
  EXPECT_TRUE(Holds(images[0]));
  EXPECT_TRUE(Holds(images[1]));
  EXPECT_FALSE(Holds(images[2]));
  EXPECT_TRUE(Holds(images[3])) << "the chosen image was installed";
}

std::string StepName(const ::testing::TestParamInfo<IdentifyStep>& info) {
  constexpr const char* kNames[] = {"Started", "InfoPageRead", "CatalogChecked", "Listing", "Done"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Steps, UnplugAtStepTest,
                         ::testing::Values(IdentifyStep::kStarted, IdentifyStep::kInfoPageRead,
                                           IdentifyStep::kCatalogChecked, IdentifyStep::kListing),
                         StepName);

TEST_F(SearchAndUnplugTest, AnUnplugAfterTheListingEmptiesTheListItFilled) {
  Attach({});
  Publish(StandardImages(), {"", "", "Demo", "Other"});
  controller->Tick();
  ASSERT_EQ(port.List().size(), 2u);
  controller->OnInterfaceRemoved(0x0417);  // another vendor's interface: nothing happens
  EXPECT_EQ(port.List().size(), 2u);
  controller->OnInterfaceRemoved(kDeviceVendor);
  EXPECT_TRUE(port.List().empty());
  EXPECT_EQ(port.Enabled(ui::kImageList), std::optional<bool>(false));
  EXPECT_EQ(port.Text(ui::kStartButton), u"開 始 更 新");
  EXPECT_EQ(controller->SearchCount(), 0);
}

// --- A device that is plugged in but cannot be opened ---

class UnopenableDeviceTest : public SearchAndUnplugTest {
 protected:
  void SetUp() override {
    SearchAndUnplugTest::SetUp();
    controller->SetNoticeHandler([this](const std::u16string& text) { notices.push_back(text); });
    device = std::make_unique<sim::SimBootloader>(MakeInfoPage({}));
  }
  // Plugs the device in as an interface whose claim fails for `reason` (kNone: it opens).
  std::u16string PlugFailing(hid::OpenError reason, int instance = 0) {
    hid::SimInterface failing{hid::SimInterfacePath(0x0416, 0xF360, 30 + instance), 0x0416, 0xF360,
                              device.get()};
    failing.claimFails = reason;
    backend.SetInterfaces({failing});
    return failing.path;
  }
  void Unplug() { backend.SetInterfaces({}); }
  std::u16string Searching(int count) {
    return text::FormatText(text::StringTableEntry(text::kStrSearching), {count});
  }

  std::vector<std::u16string> notices;
};

TEST_F(UnopenableDeviceTest, IsNotFoundAndTheUserIsToldOncePerArrival) {
  const std::u16string path = PlugFailing(hid::OpenError::kAccessDenied);
  for (int tick = 1; tick <= 3; ++tick) {
    controller->Tick();
    EXPECT_FALSE(controller->DevicePresent());
    EXPECT_EQ(port.Text(ui::kDeviceLabel), Searching(tick)) << "the label goes on counting";
  }
  EXPECT_TRUE(port.MessageBoxes().empty()) << "no identification, no numbered error";
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], ui::DeviceNoticeText({hid::OpenError::kAccessDenied, 0, {}, path}));

  // Unplugged for a tick and plugged in again: a new arrival, told again.
  Unplug();
  controller->Tick();
  PlugFailing(hid::OpenError::kAccessDenied);
  controller->Tick();
  controller->Tick();
  EXPECT_EQ(notices.size(), 2u);

  // The same interface failing another way is told too.
  PlugFailing(hid::OpenError::kBusy);
  controller->Tick();
  ASSERT_EQ(notices.size(), 3u);
  EXPECT_EQ(notices[2], ui::DeviceNoticeText({hid::OpenError::kBusy, 0, {}, path}));

  // Opened at last: the notice is stale, and the identification starts.
  PlugFailing(hid::OpenError::kNone);
  Publish(StandardImages(), {"", "", "Demo", "Other"});
  controller->Tick();
  EXPECT_TRUE(controller->DevicePresent());
  ASSERT_EQ(notices.size(), 4u);
  EXPECT_TRUE(notices[3].empty());
  EXPECT_EQ(port.List().size(), 2u);
}

// Unplugged and plugged in again within one tick: the removal notice ends the arrival.
TEST_F(UnopenableDeviceTest, ARemovalWhileSearchingEndsTheArrival) {
  PlugFailing(hid::OpenError::kBusy);
  controller->Tick();
  controller->OnInterfaceRemoved(0x0417);  // another vendor's interface
  controller->Tick();
  EXPECT_EQ(notices.size(), 1u);
  controller->OnInterfaceRemoved(kDeviceVendor);
  EXPECT_EQ(controller->SearchCount(), 2) << "searching goes on as it was";
  controller->Tick();
  EXPECT_EQ(notices.size(), 2u);
}

TEST(DeviceNotices, EveryKindHasAWholeTextInBothLanguagesForEachPlatform) {
  using hid::OpenError;
  for (const ui::NoticePlatform platform :
       {ui::NoticePlatform::kLinux, ui::NoticePlatform::kWindows})
    for (const OpenError kind :
         {OpenError::kAccessDenied, OpenError::kBusy, OpenError::kGone, OpenError::kOther}) {
      const ui::DeviceNoticeEntry& entry = ui::FindDeviceNotice(kind, platform);
      EXPECT_EQ(entry.kind, kind);
      EXPECT_EQ(entry.platform, platform);
      EXPECT_EQ(entry.english.back(), u'.');
      EXPECT_EQ(entry.chinese.back(), u'。');
      EXPECT_TRUE(std::none_of(entry.english.begin(), entry.english.end(), [](char16_t c) {
        return c > 0x7E;
      })) << "English text in the English half";
      EXPECT_TRUE(std::any_of(entry.chinese.begin(), entry.chinese.end(),
                              [](char16_t c) { return c >= 0x4E00 && c <= 0x9FFF; }));
    }
}

TEST(DeviceNotices, NameTheCauseAndWhatToDo) {
  using hid::OpenError;
  const std::u16string rule = u"/usr/lib/udev/rules.d/70-vqr03.rules";
  const std::u16string linuxDenied =
      ui::DeviceNoticeText({OpenError::kAccessDenied, 13, u"Permission denied", u"/dev/hidraw3"},
                           ui::NoticePlatform::kLinux);
  EXPECT_NE(linuxDenied.find(u"udev rule " + rule), std::u16string::npos);
  EXPECT_NE(linuxDenied.find(u"udev 規則 " + rule), std::u16string::npos);
  EXPECT_NE(linuxDenied.find(u"group"), std::u16string::npos);
  const std::u16string english(
      ui::FindDeviceNotice(OpenError::kAccessDenied, ui::NoticePlatform::kLinux).english);
  const std::u16string chinese(
      ui::FindDeviceNotice(OpenError::kAccessDenied, ui::NoticePlatform::kLinux).chinese);
  EXPECT_EQ(linuxDenied, english + u"\n\n" + chinese + u"\n\n[/dev/hidraw3] 13: Permission denied");

  for (const ui::NoticePlatform platform :
       {ui::NoticePlatform::kLinux, ui::NoticePlatform::kWindows}) {
    const std::u16string busy = ui::DeviceNoticeText({OpenError::kBusy, 11, {}, u"p"}, platform);
    EXPECT_NE(busy.find(u"another program is using it"), std::u16string::npos);
    EXPECT_NE(busy.find(u"另一個程式正在使用它"), std::u16string::npos);
    EXPECT_EQ(busy.substr(busy.size() - 6), u"[p] 11");
  }
  const std::u16string windowsDenied =
      ui::DeviceNoticeText({OpenError::kAccessDenied, 5, {}, u"p"}, ui::NoticePlatform::kWindows);
  EXPECT_EQ(windowsDenied.find(u"udev"), std::u16string::npos);
  EXPECT_NE(windowsDenied.find(u"Windows denied access"), std::u16string::npos);
  EXPECT_TRUE(ui::DeviceNoticeText({}).empty());
}

// --- The update run ---

TEST_F(WorkflowTest, UpdatesBothFixedImagesAndTheSelectedOne) {
  Attach({});
  const auto images = StandardImages();
  Publish(images, {"", "", "Demo", "Other"});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  port.UserSelects(1);  // row 3
  ASSERT_EQ(UpdateThread(&context), 1u);

  EXPECT_THAT(BoxesOf(port),
              ElementsAre(Box{"OK\n拔線＋離開程式\nGoodbye.", "更新完成", Icon::kInformation}));
  EXPECT_FALSE(port.ExitCode().has_value());
  EXPECT_EQ(Utf8(port.Text(ui::kStartButton)), "- 更 新 完 成 -");
  EXPECT_EQ(port.Enabled(ui::kStartButton), false);
  EXPECT_EQ(port.Enabled(ui::kExitButton), true);
  EXPECT_EQ(port.Enabled(ui::kImageList), false);
  ExpectImageInFlash(*device, images[0]);
  ExpectImageInFlash(*device, images[1]);
  ExpectImageInFlash(*device, images[3]);
  std::array<std::uint8_t, 256> erased;
  erased.fill(0xFF);
  EXPECT_EQ(device->Page(20 * 16), erased) << "row 2 was not selected";

  std::vector<std::string> expected{"read 8175+1"};
  for (int row : {0, 1, 3}) {
    const auto programming = ExpectedProgramming(images[row].header);
    expected.insert(expected.end(), programming.begin(), programming.end());
  }
  expected.push_back("close");
  EXPECT_EQ(WireCommands(tracePath), expected);
  EXPECT_THAT(server.Requests(), ElementsAre("Door3/AB7C.Bin", "Pool37x/T0Q713.bin",
                                             "Pool37x/V0Q346.bin", "Pool37x/C0Q299.bin"));
  EXPECT_EQ(device->RejectedCommands(), 0u);
}

TEST_F(WorkflowTest, ProgressTextsFollowEachSector) {
  Attach({});
  Publish({MakeImage("T0Q713.bin", 3, 5, 2)}, {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  ASSERT_EQ(UpdateThread(&context), 1u);
  std::vector<std::string> captions;
  for (const auto& caption : Captions()) captions.push_back(Utf8(caption));
  EXPECT_THAT(captions, ElementsAre("下載更新檔中...", "[     3 ]", "T -     2 -", "T -     1 -",
                                    "Verify T -     2 -", "Verify T -     1 -",
                                    "Verify T Complete!", "- 更 新 完 成 -"));
}

struct SelectionCase {
  const char* name;
  int selection;
  bool holdsFixed;  // the device already holds rows 0 and 1
  std::vector<std::string> requested;
  std::vector<char> letters;
};
class RowSelectionTest : public WorkflowTest,
                         public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(RowSelectionTest, InstallsTheRowsThatApply) {
  const SelectionCase& c = GetParam();
  InfoPageFields fields;
  if (c.holdsFixed) {
    fields.version[0] = 0x13;
    fields.row1 = "346";
  }
  Attach(fields);
  Publish(StandardImages(), {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  port.UserSelects(c.selection);
  std::vector<char> letters;
  context.progress = [&](const ProgramProgress& p) {
    if (letters.empty() || letters.back() != p.letter) letters.push_back(p.letter);
  };
  ASSERT_EQ(UpdateThread(&context), 1u);
  std::vector<std::string> requested = server.Requests();
  requested.erase(requested.begin());  // the catalog
  EXPECT_EQ(requested, c.requested);
  EXPECT_EQ(letters, c.letters);
  EXPECT_EQ(WireCommands(tracePath).back(), "close");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowSelectionTest,
    ::testing::Values(
        SelectionCase{
            "NothingSelected", -1, false, {"Pool37x/T0Q713.bin", "Pool37x/V0Q346.bin"}, {'T', 'V'}},
        SelectionCase{"FixedHeldFirstItem", 0, true, {"Pool37x/C0Q234.bin"}, {'C'}},
        SelectionCase{"AllSkipped", -1, true, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkflowTest, TwoRowCatalogInstallsBothWhateverTheSelection) {
  Attach({});
  Publish({MakeImage("T0Q713.bin", 1, 1, 1), MakeImage("V0Q346.bin", 2, 2, 1)}, {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  EXPECT_TRUE(port.List().empty());
  port.UserSelects(3);
  ASSERT_EQ(UpdateThread(&context), 1u);
  EXPECT_EQ(server.Requests().size(), 3u);
}

TEST_F(WorkflowTest, ZeroSizedRowIsSkippedAndEmptyCatalogStillCloses) {
  Attach({});
  Publish({}, {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  ASSERT_EQ(UpdateThread(&context), 1u);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(WireCommands(tracePath), (std::vector<std::string>{"read 8175+1", "close"}));
  EXPECT_EQ(BoxesOf(port).size(), 1u);
}

struct RunFailure {
  const char* name;
  std::function<void(WorkflowTest&, LoopbackServer&, sim::SimBootloader&)> arrange;
  std::vector<Box> boxes;
  const char* lastCaption;
  bool programs = false;  // the failure is found by programming; otherwise before it
};
class RunFailureTest : public WorkflowTest, public ::testing::WithParamInterface<RunFailure> {};

TEST_P(RunFailureTest, ShowsItsErrorAndEndsWithoutClosing) {
  Attach({});
  Publish(StandardImages(), {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  GetParam().arrange(*this, server, *device);
  const std::vector<std::uint8_t> flashBefore = device->Flash();
  EXPECT_EQ(UpdateThread(&context), 0u);
  EXPECT_THAT(BoxesOf(port), ElementsAreArray(GetParam().boxes));
  EXPECT_EQ(port.ExitCode(), 0);
  EXPECT_EQ(Utf8(Captions().back()), GetParam().lastCaption);
  for (const auto& caption : Captions()) EXPECT_NE(Utf8(caption), "- 更 新 完 成 -");
  for (const auto& command : WireCommands(tracePath)) EXPECT_NE(command, "close");
  if (!GetParam().programs) {
    // Every image is downloaded and checked before the device is told of the first.
    EXPECT_EQ(WireCommands(tracePath), std::vector<std::string>{"read 8175+1"});
    EXPECT_TRUE(device->Flash() == flashBefore) << "the flash changed";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RunFailureTest,
    ::testing::Values(
        RunFailure{"NoMemoryAtRow1",
                   [](WorkflowTest&, LoopbackServer&, sim::SimBootloader&) {
                     std::lock_guard lock(State().lock);
                     FailNextAllocationOf(State().CatalogTable[1].size + 128);
                   },
                   {Error("錯誤碼: 0401+ 1")},
                   "下載更新檔中..."},
        // A size no image header can describe (and whose + 128 would wrap): a malformed
        // image, not a lack of memory.
        RunFailure{"SizeBeyondAnyImage",
                   [](WorkflowTest&, LoopbackServer&, sim::SimBootloader&) {
                     std::lock_guard lock(State().lock);
                     State().CatalogTable[0].size = 0xFFFFFFF0u;
                   },
                   {Error("錯誤碼: 0402 -11")},
                   "下載更新檔中..."},
        RunFailure{"ImageUrlTooLong",
                   [](WorkflowTest& t, LoopbackServer&, sim::SimBootloader&) {
                     t.context.serverBase = "http://127.0.0.1/" + std::string(70, 'd') + "/";
                   },
                   {Error("錯誤碼: 0402 -10")},
                   "下載更新檔中..."},
        RunFailure{"WrongLength",
                   [](WorkflowTest& t, LoopbackServer& s, sim::SimBootloader&) {
                     auto image = t.StandardImages()[0].package;
                     image.push_back(0);
                     s.Put("Pool37x/T0Q713.bin", image);
                   },
                   {Error("錯誤碼: 0402 -3")},
                   "下載更新檔中..."},
        RunFailure{"ImageOfAnotherModel",
                   [](WorkflowTest&, LoopbackServer& s, sim::SimBootloader&) {
                     s.Put("Pool37x/T0Q713.bin", MakeImage("T0ZZZZ", 3, 5, 2).package);
                   },
                   {Error("錯誤碼: 0402 -7")},
                   "下載更新檔中..."},
        RunFailure{"DownloadFails",
                   [](WorkflowTest&, LoopbackServer& s, sim::SimBootloader&) {
                     s.Truncate("Pool37x/V0Q346.bin", 100);
                   },
                   DroppedConnection("錯誤碼: 0402", {}), "下載更新檔中..."},
        RunFailure{"RangeBeyondTheData",
                   [](WorkflowTest&, LoopbackServer& s, sim::SimBootloader&) {
                     // A package whose range asks for more sectors than it carries.
                     const TestImage small = MakeImage("T0Q713.bin", 3, 3, 1);
                     std::string error;
                     PackageHeaderBytes header;
                     header.at24[3] = 1;  // tail pages
                     header.at24[5] = 3;  // first sector 3
                     header.at24[7] = 9;  // last sector 9
                     s.Put("Pool37x/T0Q713.bin",
                           BuildPackage("Q713", kModeImage, header, small.data, &error));
                   },
                   {Error("錯誤碼: 0402 -11")},
                   "下載更新檔中..."},
        RunFailure{"FlippedBits",
                   [](WorkflowTest&, LoopbackServer&, sim::SimBootloader& d) {
                     d.FlipBitsOnRead(20 * 16 + 5, 7, 5, 0x80);  // row 2, a full sector
                   },
                   {Error("錯誤碼: 0403+ 2\n    4128\n       5")},
                   "Verify C Complete!",
                   true},
        // Failures of the last image the run installs, found before the first is written.
        RunFailure{"LastImageMissing",
                   [](WorkflowTest&, LoopbackServer& s, sim::SimBootloader&) {
                     s.Remove("Pool37x/C0Q234.bin");
                   },
                   {Error("錯誤碼: 0402 -7")},
                   "下載更新檔中..."},
        RunFailure{"LastImageCutShort",
                   [](WorkflowTest& t, LoopbackServer& s, sim::SimBootloader&) {
                     auto image = t.StandardImages()[2].package;
                     image.resize(image.size() - 256);
                     s.Put("Pool37x/C0Q234.bin", image);
                   },
                   {Error("錯誤碼: 0402 -3")},
                   "下載更新檔中..."},
        RunFailure{"NoMemoryAtTheLastRow",
                   [](WorkflowTest&, LoopbackServer&, sim::SimBootloader&) {
                     // A size of its own: rows 1 and 2 have images of the same length.
                     std::lock_guard lock(State().lock);
                     State().CatalogTable[2].size = 5000;
                     FailNextAllocationOf(5000 + 128);
                   },
                   {Error("錯誤碼: 0401+ 2")},
                   "下載更新檔中..."}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Checks across the images of one run ---

const Box kDone{"OK\n拔線＋離開程式\nGoodbye.", "更新完成", Icon::kInformation};

// Runs the update of `images` with the optional item `selection` on the attached device. When
// it is refused, the device saw nothing after the information page's read, the box is
// `refusal` and one diagnostic line holds `why`.
void ExpectRefusedOrDone(WorkflowTest& t, const std::vector<TestImage>& images, int selection,
                         bool accepted, const std::string& refusal, const std::string& why) {
  t.Publish(images, {});
  ASSERT_EQ(IdentifyThread(&t.context), 1u);
  t.port.UserSelects(selection);
  const std::vector<std::uint8_t> flashBefore = t.device->Flash();
  std::vector<std::string> lines;
  t.context.diagnose = [&lines](const std::string& line) { lines.push_back(line); };
  UpdateThread(&t.context);
  if (accepted) {
    EXPECT_THAT(BoxesOf(t.port), ElementsAre(kDone));
    for (std::size_t i = 0; i < images.size(); ++i)
      if (i < 2 || static_cast<int>(i) == selection + 2) ExpectImageInFlash(*t.device, images[i]);
    return;
  }
  EXPECT_THAT(BoxesOf(t.port), ElementsAre(Error(refusal)));
  EXPECT_EQ(WireCommands(t.tracePath), std::vector<std::string>{"read 8175+1"});
  EXPECT_TRUE(t.device->Flash() == flashBefore) << "the flash changed";
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(why), std::string::npos) << lines[0];
}

// Two images of one run may not share a sector: the later would overwrite the earlier, and
// both would still read back as written. Ranges that only touch are fine, and so is an
// overlap with an optional image the run does not install.
struct OverlapCase {
  const char* name;
  std::vector<TestImage> images;
  int selection;
  bool accepted;
};
class OverlapTest : public WorkflowTest, public ::testing::WithParamInterface<OverlapCase> {};

TEST_P(OverlapTest, ImagesOfOneRunMayNotShareASector) {
  Attach({});
  ExpectRefusedOrDone(*this, GetParam().images, GetParam().selection, GetParam().accepted,
                      "錯誤碼: 0402 -14", "overlap");
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, OverlapTest,
    ::testing::Values(
        OverlapCase{"FixedImagesShareTheirEdge",
                    {MakeImage("T0Q713.bin", 3, 5, 2), MakeImage("V0Q346.bin", 5, 6, 1)},
                    -1,
                    false},
        OverlapCase{"OptionalImageInsideTheFirst",
                    {MakeImage("T0Q713.bin", 3, 9, 2), MakeImage("V0Q346.bin", 10, 10, 16),
                     MakeImage("C0Q234.bin", 4, 4, 1)},
                    0,
                    false},
        OverlapCase{"OneSectorEach",
                    {MakeImage("T0Q713.bin", 7, 7, 1), MakeImage("V0Q346.bin", 7, 7, 16)},
                    -1,
                    false},
        OverlapCase{"RangesThatOnlyTouch",
                    {MakeImage("T0Q713.bin", 3, 5, 2), MakeImage("V0Q346.bin", 6, 6, 1)},
                    -1,
                    true},
        OverlapCase{"WithTheOptionalImageNotSelected",
                    {MakeImage("T0Q713.bin", 3, 5, 2), MakeImage("V0Q346.bin", 10, 10, 16),
                     MakeImage("C0Q234.bin", 20, 21, 0), MakeImage("C0Q299.bin", 21, 22, 1)},
                    0,
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

// An image may rewrite the information page (page 8175, the last page of sector 510) only with
// a page the updater goes on with for this device: its model code and an updater generation of
// at most 3. A page left erased, or one that names another model or a newer updater, would
// leave the device unusable to the updater.
struct InfoPageCase {
  const char* name;
  std::uint16_t first, last;
  std::uint8_t tailPages;
  std::optional<InfoPageFields> page;  // the image's bytes for page 8175 (none: its pattern)
  bool accepted;
};
class InfoPageImageTest : public WorkflowTest,
                          public ::testing::WithParamInterface<InfoPageCase> {};

TEST_P(InfoPageImageTest, MustLeaveAPageTheUpdaterAccepts) {
  const InfoPageCase& c = GetParam();
  Attach({});
  TestImage image = MakeImage("T0Q713.bin", c.first, c.last, c.tailPages);
  if (c.page) {
    const auto bytes = MakeInfoPage(*c.page);
    const std::size_t at = (std::size_t{kInfoPage} - c.first * 16u) * 256;
    ASSERT_LE(at + 256, image.data.size());
    std::copy(bytes.begin(), bytes.end(), image.data.begin() + at);
    std::string error;
    image.package = BuildImage("Q713", image.header, image.data, &error);
    ASSERT_FALSE(image.package.empty()) << error;
  }
  ExpectRefusedOrDone(*this, {image}, -1, c.accepted, "錯誤碼: 0402 -15", "information page 8175");
}

InfoPageFields NewerVersions(std::uint8_t generation = 3, const std::string& model = "AB7C") {
  InfoPageFields fields;  // new versions of both fixed images, as a vendor records them
  fields.version = {0x13, 0x00, 0x00, 0x00};
  fields.row1 = "346";
  fields.generation = generation;
  fields.model = model;
  return fields;
}

INSTANTIATE_TEST_SUITE_P(
    Pages, InfoPageImageTest,
    ::testing::Values(
        InfoPageCase{"NewPageInTheTail", 510, 510, 16, NewerVersions(), true},
        InfoPageCase{"NewPageInAFullSector", 510, 511, 1, NewerVersions(), true},
        InfoPageCase{"NewPageAfterAFullSector", 509, 510, 16, NewerVersions(), true},
        InfoPageCase{"PageOfGenerationZero", 510, 510, 16, NewerVersions(0), true},
        InfoPageCase{"PageAskingForGeneration4", 510, 510, 16, NewerVersions(4), false},
        InfoPageCase{"PageOfAnotherModel", 510, 510, 16, NewerVersions(3, "AB7D"), false},
        InfoPageCase{"ImageDataWherePageBelongs", 509, 510, 16, std::nullopt, false},
        InfoPageCase{"PageErasedBeyondTheTail", 510, 510, 15, std::nullopt, false},
        InfoPageCase{"PageErasedInALastSectorOfNoPages", 509, 510, 0, std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The flash size is the device's: an image high in a larger flash installs, and a catalog row
// far larger than its image (a buffer of 3,000,000 bytes) is simply tried.
TEST_F(WorkflowTest, InstallsImagesBeyondTwoMiBAndLargeRows) {
  flashPages = 16384;  // a 4 MiB flash
  Attach({});
  const TestImage high = MakeImage("T0Q713.bin", 599, 600, 4);
  Publish({high}, {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  {
    std::lock_guard lock(State().lock);
    State().CatalogTable[0].size = 3000000;
  }
  ASSERT_EQ(UpdateThread(&context), 1u);
  EXPECT_THAT(BoxesOf(port),
              ElementsAre(Box{"OK\n拔線＋離開程式\nGoodbye.", "更新完成", Icon::kInformation}));
  const std::vector<std::uint8_t> flash = device->Flash();
  EXPECT_TRUE(std::equal(high.data.begin(), high.data.end(),
                         flash.begin() + std::size_t{599} * kSectorSize));
}

TEST_F(WorkflowTest, ReadBackThatNeverArrivesIsAMismatchNotASuccess) {
  Attach({});
  Publish({MakeImage("T0Q713.bin", 7, 7, 3)}, {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  backend.SetTransferBound(std::chrono::milliseconds(20));
  device->NeverAnswerReads(true);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(UpdateThread(&context), 0u);
  ::testing::internal::GetCapturedStdout();
  // One sector with 3 pages, written then never read back: all 768 bytes are unproven.
  EXPECT_THAT(BoxesOf(port), ElementsAre(Error("錯誤碼: 0403+ 0\n     800\n     768")));
}

TEST_F(WorkflowTest, SecondPressWhileRunningIsIgnored) {
  Attach({});
  Publish({MakeImage("T0Q713.bin", 1, 2, 16)}, {});
  ASSERT_EQ(IdentifyThread(&context), 1u);
  device->SetPacing(std::chrono::microseconds(200), std::chrono::microseconds(0));
  std::thread first([this] { UpdateThread(&context); });
  while (!shared.updateRunning.load()) std::this_thread::yield();
  EXPECT_EQ(UpdateThread(&context), 0u);
  first.join();
  EXPECT_EQ(device->TestCommands().size(), 2u) << "one opening and one closing command";
}

// --- Signed catalogs and images ---

// With trusted keys every download comes with its detached signature, checked over the bytes
// received before anything else; a refused signature ends the run before the device is
// touched.
class SignedContentTest : public WorkflowTest {
 public:
  void SetUp() override {
    WorkflowTest::SetUp();
    std::string error;
    ASSERT_TRUE(sig::GenerateKeyPair(&vendor, &error)) << error;
    ASSERT_TRUE(sig::GenerateKeyPair(&stranger, &error)) << error;
    context.trustedKeys = {sig::PublicKeyOf(vendor)};
    context.signaturesRequired = true;
  }
  // The device was never erased or written: the only commands are the page read.
  bool DeviceUntouched() const {
    for (const std::string& command : WireCommands(tracePath))
      if (command != "read 8175+1") return false;
    return true;
  }

  sig::SecretKey vendor;
  sig::SecretKey stranger;
};

struct SignatureCase {
  const char* name;
  // Publishes the standard catalog and images in its own way.
  std::function<void(SignedContentTest&)> publish;
  std::vector<Box> boxes;  // empty: the update completes
};

class SignatureCaseTest : public SignedContentTest,
                          public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(SignatureCaseTest, OnlyContentSignedByATrustedKeyReachesTheDevice) {
  Attach({});
  GetParam().publish(*this);
  const std::uint32_t identified = IdentifyThread(&context);
  if (identified == 1) UpdateThread(&context);
  if (GetParam().boxes.empty()) {
    EXPECT_THAT(BoxesOf(port),
                ElementsAre(Box{"OK\n拔線＋離開程式\nGoodbye.", "更新完成", Icon::kInformation}));
    return;
  }
  EXPECT_THAT(BoxesOf(port), ElementsAreArray(GetParam().boxes));
  EXPECT_TRUE(DeviceUntouched());
}

const std::string kImagePath = "Pool37x/T0Q713.bin";

INSTANTIATE_TEST_SUITE_P(
    Signatures, SignatureCaseTest,
    ::testing::Values(SignatureCase{"SignedByTheVendor",
                                    [](SignedContentTest& t) {
                                      t.server.SignWith(&t.vendor);
                                      t.Publish(t.StandardImages(), {});
                                    },
                                    {}},
                      SignatureCase{"LegacySignatures",
                                    [](SignedContentTest& t) {
                                      t.server.SignWith(&t.vendor, false);
                                      t.Publish(t.StandardImages(), {});
                                    },
                                    {}},
                      SignatureCase{"NoSignatures",
                                    [](SignedContentTest& t) { t.Publish(t.StandardImages(), {}); },
                                    {Error("錯誤碼: 0302 -12"), kAdvice}},
                      SignatureCase{"CatalogSignedByAnUntrustedKey",
                                    [](SignedContentTest& t) {
                                      t.server.SignWith(&t.stranger);
                                      t.Publish(t.StandardImages(), {});
                                    },
                                    {Error("錯誤碼: 0302 -12"), kAdvice}},
                      SignatureCase{"TamperedImage",
                                    [](SignedContentTest& t) {
                                      t.server.SignWith(&t.vendor);
                                      t.Publish(t.StandardImages(), {});
                                      std::vector<std::uint8_t> image = t.server.File(kImagePath);
                                      image[200] ^= 0x01;  // a byte of sector data, after signing
                                      t.server.Replace(kImagePath, image);
                                    },
                                    {Error("錯誤碼: 0402 -12")}},
                      // The second fixed image changed after signing: the first, already
                      // downloaded and good, is not written either.
                      SignatureCase{"TamperedSecondImage",
                                    [](SignedContentTest& t) {
                                      t.server.SignWith(&t.vendor);
                                      t.Publish(t.StandardImages(), {});
                                      const std::string path = "Pool37x/V0Q346.bin";
                                      std::vector<std::uint8_t> image = t.server.File(path);
                                      image[200] ^= 0x01;
                                      t.server.Replace(path, image);
                                    },
                                    {Error("錯誤碼: 0402 -12")}},
                      SignatureCase{"SignatureOfTheLastImageMissing",
                                    [](SignedContentTest& t) {
                                      t.server.SignWith(&t.vendor);
                                      t.Publish(t.StandardImages(), {});
                                      t.server.Remove("Pool37x/C0Q234.bin.minisig");
                                    },
                                    {Error("錯誤碼: 0402 -12")}},
                      SignatureCase{"TamperedSignature",
                                    [](SignedContentTest& t) {
                                      t.server.SignWith(&t.vendor);
                                      t.Publish(t.StandardImages(), {});
                                      std::vector<std::uint8_t> text =
                                          t.server.File(kImagePath + ".minisig");
                                      text[text.size() / 3] ^= 0x01;
                                      t.server.Replace(kImagePath + ".minisig", text);
                                    },
                                    {Error("錯誤碼: 0402 -12")}},
                      SignatureCase{"AnotherSignedImageInItsPlace",
                                    [](SignedContentTest& t) {
                                      t.server.SignWith(&t.vendor);
                                      t.Publish(t.StandardImages(), {});
                                      // Row 1's image and its signature, served as row 0's: both
                                      // are the vendor's, but the signature says which file it was
                                      // made for.
                                      t.server.Replace(kImagePath,
                                                       t.server.File("Pool37x/V0Q346.bin"));
                                      t.server.Replace(kImagePath + ".minisig",
                                                       t.server.File("Pool37x/V0Q346.bin.minisig"));
                                    },
                                    {Error("錯誤碼: 0402 -12")}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SignedContentTest, TheCommandLineLearnsWhyASignatureWasRefused) {
  struct Case {
    const char* name;
    std::function<void(SignedContentTest&)> spoil;
    std::vector<std::string> lines;  // after the server's base URL
  };
  const std::vector<Case> cases{
      {"an image changed after signing",
       [](SignedContentTest& t) {
         std::vector<std::uint8_t> image = t.server.File(kImagePath);
         image[200] ^= 0x01;
         t.server.Replace(kImagePath, image);
       },
       {kImagePath +
        ": signature refused: " + sig::VerifyResultText(sig::VerifyResult::kBadSignature)}},
      // The download says why it failed; the refusal does not call a missing file malformed.
      {"an image without its signature",
       [](SignedContentTest& t) { t.server.Remove(kImagePath + ".minisig"); },
       {kImagePath + ".minisig: the server answered HTTP 404",
        kImagePath + ": signature refused: no signature could be downloaded from "}},
  };
  Attach({});
  server.SignWith(&vendor);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port.Reset();
    Publish(StandardImages(), {});
    c.spoil(*this);
    std::vector<std::string> lines;
    context.diagnose = [&lines](const std::string& line) { lines.push_back(line); };
    ASSERT_EQ(IdentifyThread(&context), 1u);
    EXPECT_EQ(UpdateThread(&context), 0u);
    ASSERT_EQ(lines.size(), c.lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
      EXPECT_EQ(lines[i].rfind(server.Base() + c.lines[i], 0), 0u) << lines[i];
  }
}

// The demo signs its sample content with a key of its own and trusts only that key: untouched,
// the whole update runs; with one sample changed after signing, the run stops before the
// device is told of any image.
TEST_F(WorkflowTest, TheDemoSignsItsContentAndRefusesATamperedSample) {
  for (const bool tamper : {false, true}) {
    SCOPED_TRACE(tamper ? "tampered" : "as signed");
    port.Reset();
    demo::Demo demo;
    ASSERT_FALSE(demo.TrustedKeys().empty());
    ASSERT_TRUE(demo.Files().count("Pool33x/BT3A22.bin.minisig"));
    if (tamper) demo.Files()["Pool33x/BT3A22.bin"][100] ^= 0x80;
    ASSERT_TRUE(demo.Start(std::chrono::milliseconds(0)));
    context.serverBase = demo.ServerBase();
    context.trustedKeys = demo.TrustedKeys();
    context.signaturesRequired = true;
    ASSERT_EQ(FindAndOpenDevice(), 1);
    ASSERT_EQ(IdentifyThread(&context), 1u);
    if (!tamper) {
      EXPECT_EQ(UpdateThread(&context), 1u);
      EXPECT_FALSE(demo.Device().TestCommands().empty());
      continue;
    }
    EXPECT_EQ(UpdateThread(&context), 0u);
    EXPECT_THAT(BoxesOf(port), ElementsAre(Error("錯誤碼: 0402 -12")));
    EXPECT_TRUE(demo.Device().TestCommands().empty()) << "no image was announced to the device";
  }
}

}  // namespace
}  // namespace vqr::testing
