// vqr03-cli as scripts and factory benches use it: both output streams, foreign text in its
// lines, --json, the choice among several devices, signals, a closed pipe, and a simulated
// flash kept in a file across killed runs.
#include <gmock/gmock.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli_process.h"
#include "demo/demo.h"
#include "formats/catalog.h"
#include "formats/image.h"
#include "formats/package.h"
#include "sample_images.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using vqr::testing::CliProcess;
using vqr::testing::Finished;
using vqr::testing::InFlash;
using vqr::testing::Json;
using vqr::testing::JsonReader;
using vqr::testing::ReadText;
using vqr::testing::TraceWatcher;

// Files of the running test case: ctest runs the cases side by side, so each names its own.
std::string CaseName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info == nullptr ? std::string("none")
                         : std::string(info->test_suite_name()) + "." + info->name();
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "cli_run_" + CaseName() + "_" + name;
}

Finished Launch(const std::vector<std::string>& arguments) {
  static int launches = 0;
  CliProcess process(VQR_CLI_PATH, arguments, ::testing::TempDir(),
                     "cli_run_" + CaseName() + "_" + std::to_string(++launches));
  return process.Wait();
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  const std::string text = ReadText(path);
  return {text.begin(), text.end()};
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Every line of `out` as a JSON object; a failure names the first line that is none.
std::vector<Json> JsonLines(const std::string& out) {
  std::vector<Json> objects;
  for (const std::string& line : vqr::testing::SplitLines(out)) {
    const std::optional<Json> parsed = JsonReader::Parse(line);
    EXPECT_TRUE(parsed && parsed->IsObject() && parsed->Has("event")) << "not an event: " << line;
    if (parsed && parsed->IsObject() && parsed->Has("event")) objects.push_back(*parsed);
  }
  return objects;
}

std::vector<Json> Events(const std::vector<Json>& objects, const std::string& event) {
  std::vector<Json> found;
  for (const Json& object : objects)
    if (object["event"].Str() == event) found.push_back(object);
  return found;
}

// The demo's sample files served unsigned on the loopback, the catalog rebuilt with the given
// descriptions, and a simulated device's information page to go with them.
class ServedSamples {
 public:
  ServedSamples(const std::vector<std::u16string>& descriptions,
                const std::vector<std::string>& withheld, const std::string& name) {
    vqr::demo::SampleContent content = vqr::demo::MakeSampleContent();
    const char* names[] = {"BT3A22.bin", "MF3101.bin", "OP3301.bin", "OP3302.bin", "OP3303.bin"};
    std::string model;
    for (const auto& [path, bytes] : content.files)
      if (path.rfind("Door3/", 0) == 0) model = path.substr(6, 4);
    vqr::Catalog catalog;
    for (std::size_t i = 0; i < std::size(names); ++i) {
      vqr::CatalogEntry& entry = catalog.entries.emplace_back();
      entry.SetName(names[i]);
      entry.size = static_cast<std::uint32_t>(
          content.files.at("Pool33x/" + std::string(entry.Name())).size());
      entry.description = descriptions.at(i);
    }
    std::string error;
    content.files["Door3/" + model + ".Bin"] = vqr::BuildCatalog(model, catalog, &error);
    EXPECT_EQ(error, "");
    for (const std::string& path : withheld) content.files.erase(path);
    m_server = vqr::demo::ServeFiles(content.files);
    m_page = content.infoPage;
    m_infoPath = TempPath(name + ".info");
    SaveInfo();
  }
  std::string Base() const { return m_server ? m_server->Base() : "http://127.0.0.1:1/"; }
  const std::string& Info() const { return m_infoPath; }
  void SetInfoByte(std::size_t at, std::uint8_t value) {
    m_page[at] = value;
    SaveInfo();
  }

 private:
  void SaveInfo() { WriteBytes(m_infoPath, {m_page.begin(), m_page.end()}); }
  std::unique_ptr<vqr::demo::ContentServer> m_server;
  std::array<std::uint8_t, 256> m_page{};
  std::string m_infoPath;
};

const std::vector<std::u16string> kPlainDescriptions = {u"開機程式", u"主程式", u"繁體中文介面",
                                                        u"English interface", u"日本語"};

bool HoldsControlBytes(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F) return true;
    // C1 controls in UTF-8: C2 80 to C2 9F.
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F)
      return true;
  }
  return false;
}

// A catalog whose descriptions carry control characters, and a run that fails: no line on
// either stream holds a control character, the descriptions read escaped, and nothing can
// pass for the success message.
TEST(CliForeignText, EveryLineIsEscaped) {
  const ServedSamples served({u"開機\t程式", u"主程式\u0085", u"介面\rmessage [更新完成]: OK",
                              u"\u001b[2Jclear", u"back\\slash"},
                             {"Pool33x/BT3A22.bin"}, "foreign");
  const Finished text = Launch({"--simulate", served.Info(), "--server", served.Base(), "--yes"});
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_FALSE(HoldsControlBytes(text.out)) << text.out;
  EXPECT_FALSE(HoldsControlBytes(text.err)) << text.err;
  const auto lines = text.OutLines();
  EXPECT_TRUE(Has(lines, "list:  2301  [ 介面\\rmessage [更新完成]: OK ]")) << text.out;
  EXPECT_TRUE(Has(lines, "list:  2302  [ \\x1b[2Jclear ]")) << text.out;
  EXPECT_TRUE(Has(lines, "list:  2303  [ back\\\\slash ]")) << text.out;
  for (const std::string& line : lines) EXPECT_NE(line.rfind("message [更新完成]", 0), 0u) << line;
  EXPECT_THAT(text.err, HasSubstr("message [執行時錯誤]: 錯誤碼: 0402"));

  // The same run in JSON: the texts come through whole, as proper JSON strings.
  const Finished json =
      Launch({"--simulate", served.Info(), "--server", served.Base(), "--yes", "--json"});
  EXPECT_EQ(json.exitCode, 1);
  const std::vector<Json> objects = JsonLines(json.out);
  const std::vector<Json> rows = Events(objects, "catalog");
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0]["description"].Str(), "開機\t程式");
  EXPECT_EQ(rows[1]["description"].Str(), "主程式\u0085");
  EXPECT_EQ(rows[2]["description"].Str(), "介面\rmessage [更新完成]: OK");
  EXPECT_EQ(rows[3]["description"].Str(), "\x1b[2Jclear");
  EXPECT_FALSE(HoldsControlBytes(json.out));
  ASSERT_FALSE(objects.empty());
  EXPECT_EQ(objects.back()["outcome"].Str(), "failed");

  // A file name the parser quotes back.
  const Finished parser = Launch({"--simulate", "/nonexistent/a\x1b[31mb"});
  EXPECT_EQ(parser.exitCode, 2);
  EXPECT_THAT(parser.err, HasSubstr("/nonexistent/a\\x1b[31mb"));
  EXPECT_FALSE(HoldsControlBytes(parser.err));
  // A line feed in it starts no line of its own.
  const Finished lineFeed = Launch({"--simulate", "/nonexistent/a\nmessage [更新完成]: OK"});
  EXPECT_EQ(lineFeed.exitCode, 2);
  EXPECT_THAT(vqr::testing::SplitLines(lineFeed.err),
              ElementsAre("vqr03-cli: --simulate: File does not exist: /nonexistent/"
                          "a\\nmessage [更新完成]: OK",
                          "Run with --help for more information."));
}

TEST(CliStreams, FailureMessagesGoToStandardErrorToo) {
  const ServedSamples served(kPlainDescriptions, {}, "unreachable");
  const Finished run = Launch({"--simulate", served.Info(), "--server", "http://127.0.0.1:1/"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.OutLines(), "message [網路問題]: 無法鏈結伺服器!"));
  EXPECT_TRUE(Has(run.OutLines(), "message [執行時錯誤]: 錯誤碼: 0302 -9"));
  // The error box is a failure; the network box and the advice are information.
  EXPECT_THAT(run.err, HasSubstr("message [執行時錯誤]: 錯誤碼: 0302 -9\n"));
  EXPECT_THAT(run.err, Not(HasSubstr("無法鏈結伺服器")));
  EXPECT_THAT(run.err, Not(HasSubstr("請檢查網路連線後重試")));
  EXPECT_THAT(run.err, HasSubstr("vqr03-cli: http://127.0.0.1:1/"));
}

// A reader that goes away after the first line must not end the update halfway: the run goes
// on to its end and its own exit code.
TEST(CliStreams, AClosedPipeDoesNotStopTheRun) {
  const std::string flash = TempPath("pipe.flash");
  const std::string status = TempPath("pipe.status");
  const std::string head = TempPath("pipe.head");
  std::filesystem::remove(flash);
  const std::string command =
      "( '" + std::string(VQR_CLI_PATH) + "' --demo --yes --sim-pace 200 --sim-flash-out '" +
      flash + "' 2>/dev/null; echo $? > '" + status + "' ) | head -n 1 > '" + head + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadText(head), "device: 尋 找 中.....   0\n");
  EXPECT_EQ(ReadText(status), "0\n");
  const auto bytes = ReadBytes(flash);
  EXPECT_TRUE(InFlash(bytes, "BT3A22.bin"));
  EXPECT_TRUE(InFlash(bytes, "OP3301.bin"));
}

TEST(CliJson, DemoUpdate) {
  const Finished run = Launch({"--demo", "--yes", "--json"});
  EXPECT_EQ(run.exitCode, 0);
  const std::vector<Json> objects = JsonLines(run.out);
  ASSERT_EQ(objects.size(), vqr::testing::SplitLines(run.out).size()) << "only objects";
  ASSERT_GE(objects.size(), 4u);

  const Json& device = objects.front();
  EXPECT_EQ(device["event"].Str(), "device");
  EXPECT_EQ(device["version"].Str(), "1002");
  EXPECT_EQ(device["model"].Str(), "DM3A");
  EXPECT_THAT(device["path"].Str(), HasSubstr("vid_0416&pid_f360"));

  const std::vector<Json> rows = Events(objects, "catalog");
  ASSERT_EQ(rows.size(), 5u);
  const char* names[] = {"BT3A22.bin", "MF3101.bin", "OP3301.bin", "OP3302.bin", "OP3303.bin"};
  const bool installs[] = {true, true, true, false, false};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i]["index"].Num(), static_cast<double>(i));
    EXPECT_EQ(rows[i]["name"].Str(), names[i]);
    EXPECT_EQ(rows[i]["image"].Str(), i == 0 ? "T" : i == 1 ? "V" : "C");
    EXPECT_EQ(rows[i]["install"].Bool(), installs[i]) << i;
    EXPECT_GT(rows[i]["size"].Num(), 32);
    EXPECT_EQ(rows[i].Has("item"), i >= 2);
  }
  EXPECT_EQ(rows[2]["description"].Str(), "繁體中文介面");

  // Each image goes through erase, write and verify, sector by sector, in that order of
  // images; the read-back ends at the last sector.
  std::string letters;
  std::map<std::string, std::set<std::string>> phases;
  double lastVerify = -1;
  for (const Json& progress : Events(objects, "progress")) {
    const std::string letter = progress["image"].Str();
    if (letters.empty() || letters.back() != letter[0]) letters += letter;
    phases[letter].insert(progress["phase"].Str());
    EXPECT_LE(progress["sector"].Num(), progress["sectors"].Num());
    EXPECT_GE(progress["bytes_per_second"].Num(), 0);
    if (progress["phase"].Str() == "verify")
      lastVerify = progress["sector"].Num() - progress["sectors"].Num();
  }
  EXPECT_EQ(letters, "TVC");
  for (const char* letter : {"T", "V", "C"})
    EXPECT_EQ(phases[letter], (std::set<std::string>{"erase", "write", "verify"})) << letter;
  EXPECT_EQ(lastVerify, 0);

  const std::vector<Json> messages = Events(objects, "message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["caption"].Str(), "更新完成");
  EXPECT_EQ(messages[0]["text"].Str(), "OK\n拔線＋離開程式\nGoodbye.");
  EXPECT_EQ(messages[0]["icon"].Str(), "information");
  EXPECT_FALSE(messages[0].Has("code"));

  EXPECT_EQ(objects.back()["event"].Str(), "result");
  EXPECT_EQ(objects.back()["exit"].Num(), 0);
  EXPECT_EQ(objects.back()["outcome"].Str(), "done");
}

// The device link's diagnostic lines never mix with standard output's own lines: with --json
// each is a "diagnostic" object among the others, without it a line of standard error.
TEST(CliJson, DiagnosticsOfEveryFaultKindKeepStandardOutputAllJson) {
  struct Case {
    const char* fault;
    bool diagnostics;  // whether a transfer fails, so that the device link says so
  };
  const Case cases[] = {
      {"fail:40", true},    // a data report of the first write
      {"vanish:40", true},  // every transfer from there on
      {"silent:40", true},  // the first read-back is never answered
      {"flip:53", false},   // read back differently: no transfer fails
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const Finished run = Launch({"--demo", "--yes", "--json", "--sim-fault", c.fault});
    EXPECT_EQ(run.exitCode, 1);
    const std::vector<std::string> lines = vqr::testing::SplitLines(run.out);
    const std::vector<Json> objects = JsonLines(run.out);
    ASSERT_EQ(objects.size(), lines.size()) << "a line of standard output is no object:\n"
                                            << run.out;
    const std::vector<Json> diagnostics = Events(objects, "diagnostic");
    EXPECT_EQ(!diagnostics.empty(), c.diagnostics);
    for (const Json& diagnostic : diagnostics)
      EXPECT_THAT(diagnostic["text"].Str(), ::testing::StartsWith("ERROR: "));
    EXPECT_EQ(Events(objects, "message").back()["code"].Str().substr(0, 2), "04");
    EXPECT_EQ(objects.back()["event"].Str(), "result");
    EXPECT_THAT(run.err, Not(HasSubstr("ERROR: ")));
  }

  const Finished text = Launch({"--demo", "--yes", "--sim-fault", "vanish:40"});
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_THAT(text.out, Not(HasSubstr("ERROR: ")));
  EXPECT_THAT(text.err, HasSubstr("\nERROR: Send "));
}

TEST(CliJson, FailureUsageAndListing) {
  const ServedSamples served(kPlainDescriptions, {}, "json");
  Finished run = Launch({"--simulate", served.Info(), "--server", "http://127.0.0.1:1/", "--json"});
  EXPECT_EQ(run.exitCode, 1);
  std::vector<Json> objects = JsonLines(run.out);
  std::vector<Json> messages = Events(objects, "message");
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0]["caption"].Str(), "網路問題");
  EXPECT_FALSE(messages[0].Has("code"));
  EXPECT_EQ(messages[1]["caption"].Str(), "執行時錯誤");
  EXPECT_EQ(messages[1]["icon"].Str(), "error");
  EXPECT_EQ(messages[1]["code"].Str(), "0302");
  EXPECT_EQ(messages[1]["detail"].Num(), -9);
  EXPECT_EQ(objects.back()["exit"].Num(), 1);
  EXPECT_EQ(objects.back()["outcome"].Str(), "failed");

  // The code fields are the same whatever language the texts are in.
  for (const char* language : {"en", "ja", "zh-CN"}) {
    SCOPED_TRACE(language);
    const Finished translated = Launch({"--simulate", served.Info(), "--server",
                                        "http://127.0.0.1:1/", "--json", "--lang", language});
    const std::vector<Json> shown = Events(JsonLines(translated.out), "message");
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_NE(shown[1]["text"].Str(), messages[1]["text"].Str());
    EXPECT_EQ(shown[1]["code"].Str(), "0302");
    EXPECT_EQ(shown[1]["detail"].Num(), -9);
  }

  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--json", "--image", "-1"},
        std::vector<std::string>{"--json", "--bogus"},
        std::vector<std::string>{"--json", "--sim-flash", "x.bin"}}) {
    run = Launch(arguments);
    EXPECT_EQ(run.exitCode, 2);
    objects = JsonLines(run.out);
    ASSERT_EQ(objects.size(), 1u) << run.out;
    EXPECT_EQ(objects[0]["event"].Str(), "result");
    EXPECT_EQ(objects[0]["exit"].Num(), 2);
    EXPECT_EQ(objects[0]["outcome"].Str(), "usage");
  }

  run = Launch({"--demo", "--json", "--list"});
  EXPECT_EQ(run.exitCode, 0);
  objects = JsonLines(run.out);
  EXPECT_EQ(objects.back()["outcome"].Str(), "listed");
  EXPECT_EQ(Events(objects, "progress").size(), 0u);
}

// --list says which fixed images an update would install: the device here holds the newest
// main program (row 1) but an older boot program (row 0).
TEST(CliListing, ShowsWhichFixedImagesWouldBeInstalled) {
  ServedSamples served(kPlainDescriptions, {}, "fixed");
  served.SetInfoByte(6, '1');  // row 1 version "101", as the catalog's MF3101.bin
  const std::vector<std::string> base = {"--simulate", served.Info(), "--server", served.Base(),
                                         "--list"};
  const Finished text = Launch(base);
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_TRUE(Has(text.OutLines(), "fixed: T BT3A22.bin: will be installed")) << text.out;
  EXPECT_TRUE(Has(text.OutLines(), "fixed: V MF3101.bin: already on the device")) << text.out;

  struct Choice {
    std::vector<std::string> arguments;
    std::vector<bool> installs;
  };
  const Choice choices[] = {
      {{}, {true, false, true, false, false}},
      {{"--image", "2"}, {true, false, false, false, true}},
      {{"--no-image"}, {true, false, false, false, false}},
  };
  for (const Choice& choice : choices) {
    std::vector<std::string> arguments = base;
    arguments.push_back("--json");
    arguments.insert(arguments.end(), choice.arguments.begin(), choice.arguments.end());
    const Finished json = Launch(arguments);
    EXPECT_EQ(json.exitCode, 0);
    const std::vector<Json> rows = Events(JsonLines(json.out), "catalog");
    ASSERT_EQ(rows.size(), 5u);
    for (std::size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(rows[i]["install"].Bool(), choice.installs[i]) << i << " " << json.out;
  }
}

// Two devices: listed, refused without --device, and the chosen one used.
TEST(CliDevices, ListsRefusesAndChooses) {
  ServedSamples first(kPlainDescriptions, {}, "first");
  ServedSamples second(kPlainDescriptions, {}, "second");
  second.SetInfoByte(3, 7);  // shows version 1 0 0 7
  const std::vector<std::string> both = {"--simulate",  first.Info(), "--simulate",
                                         second.Info(), "--server",   "http://127.0.0.1:1/"};
  const auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> arguments = both;
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  };

  const Finished listing = Launch(with({"--list-devices"}));
  EXPECT_EQ(listing.exitCode, 0);
  const auto lines = listing.OutLines();
  ASSERT_EQ(lines.size(), 2u) << listing.out;
  std::vector<std::string> shownPaths;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.rfind("interface: ", 0), 0u) << line;
    const std::size_t product = line.find(" product=f360 open=ok");
    ASSERT_NE(product, std::string::npos) << line;
    ASSERT_EQ(product + 21, line.size()) << line;
    shownPaths.push_back(line.substr(11, product - 11));
  }
  const Finished jsonListing = Launch(with({"--list-devices", "--json"}));
  const std::vector<Json> interfaces = Events(JsonLines(jsonListing.out), "interface");
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[1]["product"].Str(), "f360");
  EXPECT_EQ(interfaces[1]["open"].Str(), "ok");
  const std::string rawPath = interfaces[1]["path"].Str();
  EXPECT_THAT(rawPath, HasSubstr("\\hid#"));

  const Finished refused = Launch(with({"--wait", "0"}));
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_THAT(refused.err, HasSubstr("vqr03-cli: 2 devices are connected: choose one with "
                                     "--device PATH"));
  EXPECT_THAT(refused.err, HasSubstr("vqr03-cli: interface: " + shownPaths[0]));
  EXPECT_THAT(refused.err, HasSubstr("vqr03-cli: interface: " + shownPaths[1]));
  EXPECT_THAT(refused.OutLines(), Not(Contains(HasSubstr("版本"))));

  // The path as listed (escaped) or as the platform spells it; --sim-flash-out writes the
  // flash of the device used.
  const std::string flash = TempPath("chosen.flash");
  for (const std::string& path : {shownPaths[1], rawPath}) {
    std::filesystem::remove(flash);
    const Finished chosen = Launch(with({"--device", path, "--sim-flash-out", flash}));
    EXPECT_EQ(chosen.exitCode, 1) << path;
    EXPECT_TRUE(Has(chosen.OutLines(), "device: 版本 : [ 1007 ]")) << chosen.out;
    const auto bytes = ReadBytes(flash);
    ASSERT_EQ(bytes.size(), 2097152u);
    EXPECT_EQ(bytes[8175 * 256 + 3], 7) << "the second device's information page";
  }
  const Finished firstChosen = Launch(with({"--device", shownPaths[0]}));
  EXPECT_TRUE(Has(firstChosen.OutLines(), "device: 版本 : [ 1002 ]")) << firstChosen.out;

  const Finished absent = Launch(with({"--device", "/dev/hidraw99", "--wait", "0"}));
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_THAT(absent.err, HasSubstr("no device found"));
}

TEST(CliOptions, WaitImageAndHelp) {
  const auto start = std::chrono::steady_clock::now();
  const Finished waited = Launch({"--wait", "2"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(waited.exitCode, 1);
  EXPECT_THAT(waited.err, HasSubstr("vqr03-cli: no device found within 2 s"));
  EXPECT_GE(took, std::chrono::milliseconds(1950));
  EXPECT_LT(took, std::chrono::seconds(6));

  for (const char* bad : {"-1", "1x", "", "+1"}) {
    const Finished run = Launch({"--image", bad});
    EXPECT_EQ(run.exitCode, 2) << bad;
    EXPECT_THAT(run.err, HasSubstr("vqr03-cli: --image " + std::string(bad) + ": ")) << bad;
  }
  const Finished huge = Launch({"--demo", "--yes", "--image", "99999999999999999999999"});
  EXPECT_EQ(huge.exitCode, 2);
  EXPECT_THAT(huge.err, HasSubstr("vqr03-cli: --image 99999999999999999999999: the catalog "
                                  "lists 3 optional image(s)"));

  const Finished help = Launch({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  const std::size_t testing = help.out.find("\nTesting:");
  ASSERT_NE(testing, std::string::npos) << help.out;
  // Each option's own line begins with two spaces.
  for (const char* option :
       {"--simulate", "--sim-flash-out", "--sim-flash ", "--sim-pace", "--sim-fault"}) {
    const std::size_t at = help.out.find(std::string("\n  ") + option);
    EXPECT_NE(at, std::string::npos) << option;
    EXPECT_GT(at, testing) << option;
  }
  for (const char* option : {"--server", "--json", "--list-devices", "--device", "--demo"})
    EXPECT_LT(help.out.find(std::string("\n  ") + option), testing) << option;
  // The options that name a file say so.
  for (const char* option : {"--trace", "--sim-flash-out", "--sim-flash"})
    EXPECT_THAT(help.out, HasSubstr(std::string("\n  ") + option + " FILE ")) << option;
}

// The paced demo update, its trace followed while it runs.
struct PacedRun {
  std::string trace = TempPath("paced.trace");
  std::string flash = TempPath("paced.flash");
  std::unique_ptr<CliProcess> process;
  std::unique_ptr<TraceWatcher> watcher;

  explicit PacedRun(std::vector<std::string> more = {}) {
    std::filesystem::remove(trace);
    std::filesystem::remove(flash);
    std::vector<std::string> arguments = {"--demo",  "--yes", "--sim-pace",      "2000",
                                          "--trace", trace,   "--sim-flash-out", flash};
    arguments.insert(arguments.end(), more.begin(), more.end());
    process = std::make_unique<CliProcess>(VQR_CLI_PATH, arguments, ::testing::TempDir(),
                                           "cli_run_" + CaseName() + "_paced");
    watcher = std::make_unique<TraceWatcher>(trace);
  }
  bool Reached(const std::string& prefix, int count) {
    return vqr::testing::WaitFor([&] { return watcher->Count(prefix) >= count; });
  }
};

constexpr char kEraseLine[] = "OUT 00710e";
constexpr char kTestLine[] = "OUT 005b0e";

// A signal in the middle of writing image T is held: T is written and read back whole, the
// run stops before V, and exits with 3.
TEST(CliSignals, AFirstSignalWhileWritingFinishesTheImage) {
  PacedRun run;
  ASSERT_TRUE(run.Reached(kEraseLine, 2));
  run.process->Signal(SIGINT);
  const Finished finished = run.process->Wait();
  EXPECT_EQ(finished.exitCode, 3);
  EXPECT_THAT(finished.err, HasSubstr("interrupted while image T is being written: stopping now "
                                      "can leave the device unusable"));
  EXPECT_THAT(finished.err, HasSubstr("a second signal stops it at once"));
  EXPECT_THAT(finished.err, HasSubstr("the update stopped after image T"));
  const auto flash = ReadBytes(run.flash);
  EXPECT_TRUE(InFlash(flash, "BT3A22.bin"));
  EXPECT_FALSE(InFlash(flash, "MF3101.bin"));
  EXPECT_EQ(TraceWatcher(run.trace).Count(kTestLine), 1) << "the opening of T only, no closing";
}

// Held in the last image: the update completes, and the run still ends with 3, saying that the
// device is up to date.
TEST(CliSignals, AFirstSignalInTheLastImageEndsWithThreeAfterTheUpdate) {
  PacedRun run({"--json"});
  const std::string out = ::testing::TempDir() + "cli_run_" + CaseName() + "_paced.stdout";
  ASSERT_TRUE(vqr::testing::WaitFor([&] {
    return ReadText(out).find(R"("image":"C","phase":"write","sector":1,)") != std::string::npos;
  }));
  run.process->Signal(SIGINT);
  const Finished finished = run.process->Wait();
  EXPECT_EQ(finished.exitCode, 3);
  EXPECT_THAT(finished.err, HasSubstr("interrupted while image C is being written"));
  EXPECT_THAT(finished.err, HasSubstr("the update completed all the same and the device is up "
                                      "to date"));
  const std::vector<Json> objects = JsonLines(finished.out);
  const std::vector<Json> messages = Events(objects, "message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["caption"].Str(), "更新完成");
  ASSERT_FALSE(objects.empty());
  EXPECT_EQ(objects.back()["exit"].Num(), 3);
  EXPECT_EQ(objects.back()["outcome"].Str(), "interrupted");
  EXPECT_EQ(objects.back()["completed"].Bool(), true);
  const auto flash = ReadBytes(run.flash);
  for (const char* name : {"BT3A22.bin", "MF3101.bin", "OP3301.bin"})
    EXPECT_TRUE(InFlash(flash, name)) << name;
  EXPECT_EQ(TraceWatcher(run.trace).Count(kTestLine), 4) << "three openings and the closing";
}

TEST(CliSignals, ASecondSignalEndsAtOnce) {
  PacedRun run({"--json"});
  ASSERT_TRUE(run.Reached(kEraseLine, 2));
  run.process->Signal(SIGTERM);
  ASSERT_TRUE(vqr::testing::WaitFor([&] {
    return ReadText(::testing::TempDir() + "cli_run_" + CaseName() + "_paced.stderr")
               .find("second signal") != std::string::npos;
  }));
  run.process->Signal(SIGHUP);
  const Finished finished = run.process->Wait();
  EXPECT_EQ(finished.exitCode, 3);
  EXPECT_THAT(finished.err, HasSubstr("stopped at once"));
  EXPECT_FALSE(InFlash(ReadBytes(run.flash), "BT3A22.bin")) << "T was cut short";
  const std::vector<Json> objects = JsonLines(finished.out);
  ASSERT_FALSE(objects.empty());
  EXPECT_EQ(objects.back()["event"].Str(), "result");
  EXPECT_EQ(objects.back()["exit"].Num(), 3);
  EXPECT_EQ(objects.back()["outcome"].Str(), "interrupted");
  EXPECT_EQ(objects.back()["completed"].Bool(), false);
}

// Standard output is a pipe that nobody reads: the run blocks writing to it while it holds
// the port's lock. Two signals still end it, with the line on standard error.
TEST(CliSignals, TwoSignalsEndARunBlockedOnAPipeNobodyReads) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  fcntl(ends[1], F_SETPIPE_SZ, 4096);  // the smallest pipe, full within the first image
  const int capacity = fcntl(ends[1], F_GETPIPE_SZ);
  CliProcess process(VQR_CLI_PATH, {"--demo", "--yes", "--json"}, ::testing::TempDir(),
                     "cli_run_" + CaseName() + "_blocked", ends[1]);
  close(ends[1]);
  ASSERT_TRUE(vqr::testing::WaitFor([&] {
    int queued = 0;
    return ioctl(ends[0], FIONREAD, &queued) == 0 && queued > capacity - 512;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  process.Signal(SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  process.Signal(SIGTERM);
  const std::optional<Finished> finished = process.WaitUpTo(std::chrono::seconds(10));
  close(ends[0]);
  ASSERT_TRUE(finished.has_value()) << "the signals did not end the run";
  EXPECT_EQ(finished->exitCode, 3);
  EXPECT_THAT(finished->err, HasSubstr("vqr03-cli: interrupted: stopped at once\n"));
}

// Outside erasing and writing (here while searching, and while reading T back) a signal ends
// the run at once.
TEST(CliSignals, OutsideEraseAndWriteASignalEndsAtOnce) {
  CliProcess searching(VQR_CLI_PATH, {"--wait", "30", "--json"}, ::testing::TempDir(),
                       "cli_run_" + CaseName() + "_searching");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  searching.Signal(SIGHUP);
  const Finished ended = searching.Wait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(ended.exitCode, 3);
  const std::vector<Json> objects = JsonLines(ended.out);
  ASSERT_FALSE(objects.empty());
  EXPECT_EQ(objects.back()["outcome"].Str(), "interrupted");

  PacedRun run;
  // T's read-back: the identification read the information page, T's first read follows.
  ASSERT_TRUE(run.Reached("OUT 00d20e", 2));
  run.process->Signal(SIGINT);
  const Finished finished = run.process->Wait();
  EXPECT_EQ(finished.exitCode, 3);
  EXPECT_THAT(finished.err, Not(HasSubstr("second signal")));
  EXPECT_THAT(finished.err, HasSubstr("stopped at once"));
}

TEST(CliSimFlash, RefusesAFileOfAnotherSize) {
  const std::string path = TempPath("short.flash");
  WriteBytes(path, std::vector<std::uint8_t>(10, 0xFF));
  const Finished run = Launch({"--demo", "--list", "--sim-flash", path});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_THAT(run.err, HasSubstr(path + ": 10 bytes, not the 2097152 of the simulated flash"));
  EXPECT_EQ(ReadBytes(path).size(), 10u) << "left as it was";
}

// `flash` with zeros in every sector of the demo's images: an older firmware that only an
// erase clears, so that no image is found in place without having been erased and written.
std::vector<std::uint8_t> WithOlderFirmware(std::vector<std::uint8_t> flash) {
  for (const char* name : {"BT3A22.bin", "MF3101.bin", "OP3301.bin"}) {
    const vqr::ImageHeader header = vqr::testing::SampleImage(name).header;
    std::fill(flash.begin() + std::size_t{header.first} * 4096,
              flash.begin() + (std::size_t{header.last} + 1) * 4096, 0);
  }
  return flash;
}

// The flash kept in a file survives a kill at any point of an update: the next run with the
// same file completes and leaves exactly the flash of an uninterrupted run. The file starts
// with an older firmware, so that what a killed run left differs from a new flash until the
// last image is written: a run that only lists, given that file, must write out exactly the
// file, which proves that it loaded it.
TEST(CliSimFlash, AKilledUpdateCompletesOnTheNextRun) {
  const std::string clean = TempPath("clean.flash");
  ASSERT_EQ(Launch({"--demo", "--yes", "--sim-flash-out", clean}).exitCode, 0);
  const std::vector<std::uint8_t> expected = ReadBytes(clean);
  ASSERT_EQ(expected.size(), 2097152u);
  const std::vector<std::uint8_t> older = WithOlderFirmware(expected);

  struct KillPoint {
    const char* name;
    const char* line;  // the trace line that is awaited
    int count;
  };
  const KillPoint points[] = {
      {"after the opening", kTestLine, 1},    {"after the first erase", kEraseLine, 1},
      {"among the writes", "OUT 00c30e", 3},  {"during the read-back", "OUT 00d20e", 3},
      {"in the second image", kEraseLine, 6},
  };
  const std::string kept = TempPath("kept.flash");
  const std::string after = TempPath("after.flash");
  const std::string probe = TempPath("probe.flash");
  for (const KillPoint& point : points) {
    WriteBytes(kept, older);
    std::filesystem::remove(kept + ".tmp");
    const std::string trace = TempPath("kill.trace");
    std::filesystem::remove(trace);
    {
      CliProcess process(
          VQR_CLI_PATH,
          {"--demo", "--yes", "--sim-pace", "500", "--sim-flash", kept, "--trace", trace},
          ::testing::TempDir(), "cli_run_" + CaseName() + "_kill");
      TraceWatcher watcher(trace);
      ASSERT_TRUE(vqr::testing::WaitFor([&] { return watcher.Count(point.line) >= point.count; }))
          << point.name;
      process.Signal(SIGKILL);
      EXPECT_EQ(process.Wait().signal, SIGKILL) << point.name;
    }
    const std::vector<std::uint8_t> left = ReadBytes(kept);
    ASSERT_EQ(left.size(), expected.size()) << point.name;
    EXPECT_FALSE(left == expected) << point.name << ": killed after the update completed";
    EXPECT_EQ(Launch({"--demo", "--list", "--sim-flash", kept, "--sim-flash-out", probe}).exitCode,
              0);
    EXPECT_TRUE(ReadBytes(probe) == left) << point.name << ": the kept flash was not loaded";
    const Finished resumed =
        Launch({"--demo", "--yes", "--sim-flash", kept, "--sim-flash-out", after});
    EXPECT_EQ(resumed.exitCode, 0) << point.name << "\n" << resumed.err;
    EXPECT_TRUE(ReadBytes(after) == expected) << point.name;
    EXPECT_TRUE(ReadBytes(kept) == expected) << point.name;
  }
}

// An update with a fault of the simulated device ends with a numbered error, never with the
// completion message, and a run without the fault on the flash it left completes and leaves
// exactly the flash of an update without faults. The positions are report numbers read from a
// clean run's trace, whose n-th line is report n; the flash starts with an older firmware, so
// that a sector left unerased cannot pass the read-back.
TEST(CliSimFlash, AfterAnInjectedFaultTheNextRunCompletes) {
  const std::string clean = TempPath("clean.flash");
  const std::string trace = TempPath("clean.trace");
  std::filesystem::remove(trace);
  ASSERT_EQ(Launch({"--demo", "--yes", "--sim-flash-out", clean, "--trace", trace}).exitCode, 0);
  const std::vector<std::uint8_t> expected = ReadBytes(clean);
  ASSERT_EQ(expected.size(), 2097152u);
  const std::vector<std::string> wire = vqr::testing::SplitLines(ReadText(trace));
  // The report number of the `occurrence`-th trace line that begins with `prefix`.
  const auto report = [&](const std::string& prefix, int occurrence) -> std::uint64_t {
    for (std::size_t i = 0; i < wire.size(); ++i)
      if (wire[i].rfind(prefix, 0) == 0 && --occurrence == 0) return i + 1;
    ADD_FAILURE() << "no such line: " << prefix;
    return 1;
  };
  const auto fault = [](const char* kind, std::uint64_t at) {
    return std::string(kind) + ":" + std::to_string(at);
  };
  constexpr char kRead[] = "OUT 00d20e";  // the first reads the information page
  constexpr char kWrite[] = "OUT 00c30e";
  struct FaultCase {
    const char* where;
    std::string fault;
  };
  const FaultCase cases[] = {
      {"the information page's read command", fault("fail", report(kRead, 1))},
      {"inside T's first write", fault("vanish", report(kWrite, 1) + 32)},
      {"a data report of T's second write", fault("fail", report(kWrite, 2) + 1)},
      {"V's first erase", fault("fail", report(kEraseLine, 5))},
      {"inside T's read-back", fault("fail", report(kRead, 2) + 10)},
      {"T's last read-back", fault("silent", report(kRead, 5) + 3)},
      {"a page of T read back",
       fault("flip", vqr::testing::SampleImage("BT3A22.bin").header.first * 16 + 5)},
  };
  const std::string kept = TempPath("faulted.flash");
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(std::string(c.where) + ", --sim-fault " + c.fault);
    WriteBytes(kept, WithOlderFirmware(expected));
    const Finished faulted =
        Launch({"--demo", "--yes", "--sim-flash", kept, "--sim-fault", c.fault});
    EXPECT_EQ(faulted.exitCode, 1) << faulted.err;
    EXPECT_THAT(faulted.err, HasSubstr("message [執行時錯誤]: 錯誤碼: "));
    EXPECT_THAT(faulted.out, Not(HasSubstr("更新完成")));
    const Finished rerun = Launch({"--demo", "--yes", "--sim-flash", kept});
    EXPECT_EQ(rerun.exitCode, 0) << rerun.err;
    EXPECT_TRUE(ReadBytes(kept) == expected);
  }
}

}  // namespace
