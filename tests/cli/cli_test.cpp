// vqr03-cli as a process: its lines, its exit codes and its files.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "demo/demo.h"
#include "formats/image.h"
#include "formats/package.h"
#include "run_command.h"
#include "sample_images.h"

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

struct CliRun {
  int exitCode = -1;
  std::vector<std::string> lines;
  bool Has(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

CliRun RunCli(const std::string& arguments) {
  const std::string command = std::string(VQR_CLI_PATH) + " " + arguments + " 2>/dev/null";
  CliRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::string output;
  std::array<char, 4096> buffer;
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
    output.append(buffer.data(), n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) run.lines.push_back(line);
  return run;
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + name;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

using vqr::testing::InFlash;
using vqr::testing::SampleImage;

TEST(Cli, DemoRunsTheWholeUpdateAndWritesTheFlash) {
  const std::string flashPath = TempPath("demo.flash");
  const CliRun run = RunCli("--demo --yes --sim-flash-out " + flashPath);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.lines.front(), "device: 尋 找 中.....   0");
  EXPECT_TRUE(run.Has("device: 版本 : [ 1002 ]"));
  EXPECT_TRUE(run.Has("list:  2301  [ 繁體中文介面 ]"));
  EXPECT_TRUE(run.Has("message [更新完成]: OK\\n拔線＋離開程式\\nGoodbye."));
  EXPECT_EQ(run.lines.back(), "button: - 更 新 完 成 -");
  const auto flash = ReadAll(flashPath);
  ASSERT_EQ(flash.size(), 8192u * 256u);
  EXPECT_TRUE(InFlash(flash, SampleImage("BT3A22.bin")));
  EXPECT_TRUE(InFlash(flash, SampleImage("MF3101.bin")));
  EXPECT_TRUE(InFlash(flash, SampleImage("OP3301.bin")));
}

TEST(Cli, ListStopsAfterTheListing) {
  for (const char* arguments : {"--demo --list", "--demo", "--demo --list --yes"}) {
    const CliRun run = RunCli(arguments);
    EXPECT_EQ(run.exitCode, 0) << arguments;
    EXPECT_TRUE(run.Has("list:  2303  [ 日本語インターフェース ]")) << arguments;
    for (const std::string& line : run.lines)
      EXPECT_EQ(line.rfind("button:", 0), std::string::npos);
  }
}

TEST(Cli, ChoosesTheOptionalImage) {
  const std::string flashPath = TempPath("choice.flash");
  CliRun run = RunCli("--demo --yes --no-image --sim-flash-out " + flashPath);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_THAT(run.lines, Not(Contains(HasSubstr("button: Verify C"))));
  EXPECT_THAT(run.lines, Contains("button: Verify V Complete!"));
  auto flash = ReadAll(flashPath);
  EXPECT_EQ(flash[16 * 4096], 0xFF) << "no optional image written";

  run = RunCli("--demo --yes --image 1 --sim-flash-out " + flashPath);
  EXPECT_EQ(run.exitCode, 0);
  flash = ReadAll(flashPath);
  EXPECT_TRUE(InFlash(flash, SampleImage("OP3302.bin")));
}

TEST(Cli, BadArgumentsExitWithTwo) {
  const std::string shortInfo = TempPath("short.info");
  WriteAll(shortInfo, std::vector<std::uint8_t>(10, 0));
  for (const std::string& arguments :
       {std::string("--image 1 --no-image"), std::string("--server ftp://host/"),
        std::string("--server http://host"), std::string("--sim-flash-out x.bin"),
        std::string("--simulate /nonexistent/info"), "--simulate " + shortInfo,
        std::string("--demo --yes --image 7"), std::string("--wait -1"), std::string("--wait nan"),
        std::string("--wait inf"), std::string("--bogus"), std::string("--sim-fault fail:1"),
        std::string("--demo --sim-fault drop:1"), std::string("--demo --sim-fault fail"),
        std::string("--demo --sim-fault fail:0"), std::string("--demo --sim-fault vanish:-1"),
        std::string("--demo --sim-fault silent:1x"), std::string("--demo --sim-fault flip:8192"),
        std::string("--demo --sim-fault fail:1234567890123")}) {
    EXPECT_EQ(RunCli(arguments).exitCode, 2) << arguments;
  }
}

TEST(Cli, FailuresTheWindowWouldReportExitWithOne) {
  const std::string info = TempPath("device.info");
  std::vector<std::uint8_t> page(256, 0);
  page[7] = 3;
  for (int i = 0; i < 4; ++i) page[12 + i] = static_cast<std::uint8_t>("AB7C"[i]);
  WriteAll(info, page);
  const std::string trace = TempPath("cli.trace");
  std::remove(trace.c_str());
  const CliRun run =
      RunCli("--simulate " + info + " --server http://127.0.0.1:1/ --yes --trace " + trace);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(run.lines,
              testing::ElementsAre("device: 尋 找 中.....   0", "device: 版本 : [ 0000 ]",
                                   "message [網路問題]: 無法鏈結伺服器!",
                                   "message [執行時錯誤]: 錯誤碼: 0302 -9",
                                   "message [錯誤分析]: 請檢查網路連線後重試"));
  std::ifstream traced(trace);
  std::string first;
  std::getline(traced, first);
  EXPECT_EQ(first.substr(0, 42), "OUT 00d20eef1f00000100000069e3be938c040000");

  page[7] = 4;
  WriteAll(info, page);
  const CliRun outdated = RunCli("--simulate " + info + " --list");
  EXPECT_EQ(outdated.exitCode, 1);
  EXPECT_TRUE(outdated.Has("message [更新程式 過時]: 請下載最新版更新程式\\n[ VQR04.exe ]"));
}

TEST(Cli, NoDeviceWithinTheWaitExitsWithOne) {
  const CliRun run = RunCli("--wait 0");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.lines, std::vector<std::string>{"device: 尋 找 中.....   0"});
}

// Hostile input files for every program that reads files named on its command line: each is
// refused with exit 2 and a line naming the file and the reason, before it is read (a FIFO
// without a writer would block an open, /dev/zero never ends, the sparse file would take 3 GB
// of memory). `timeout` turns a hang into a failed case instead of a stuck test.
TEST(HostileInputFiles, RefusedWithExitTwoBeforeBeingRead) {
  const std::string dir = TempPath("hostile_dir");
  std::filesystem::create_directories(dir);
  const std::string fifo = TempPath("hostile_fifo");
  std::filesystem::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string sparse = TempPath("hostile_sparse");
  { std::ofstream(sparse, std::ios::binary | std::ios::trunc); }
  std::filesystem::resize_file(sparse, 3ull << 30);
  const std::string missing = TempPath("hostile_missing");
  std::filesystem::remove(missing);

  // The reason, as the bounded reader gives it after the path or as the command line parser
  // gives it before the path (vqr03-cli's --simulate takes an existing file only).
  struct Input {
    std::string path;
    std::string reason;
    std::string parserReason;
  };
  const Input inputs[] = {
      {dir, "a directory, not a regular file", "File is actually a directory"},
      {"/dev/zero", "a character device, not a regular file", ""},
      {fifo, "a FIFO, not a regular file", ""},
      {sparse, "3221225472 bytes, more than the ", ""},
      {missing, "no such file", "File does not exist"},
  };
  const std::string out = TempPath("hostile_out.bin");
  const std::string pack = VQR_PACK_PATH;
  const std::string cli = VQR_CLI_PATH;
  // Files the commands read beside the hostile one: a regular file, a key pair, a folder.
  const std::string plain = TempPath("hostile_plain");
  WriteAll(plain, std::vector<std::uint8_t>(300, 0x5A));
  const std::string secret = TempPath("hostile.key");
  const std::string pub = TempPath("hostile.pub");
  std::filesystem::remove(secret);
  std::filesystem::remove(pub);
  ASSERT_EQ(
      vqr::testing::RunCommand(pack + " keygen --secret " + secret + " --public " + pub).exitCode,
      0);
  const std::string empty = TempPath("hostile_empty");
  std::filesystem::create_directories(empty);
  // What a missing file is to a command: refused as missing, taken for the key's own text
  // (which is then refused as a key), or a flash that does not exist yet.
  enum class Missing { kRefused, kKeyText, kNewFlash };
  struct Command {
    std::string line;  // {} stands for the file
    Missing missing = Missing::kRefused;
  };
  const Command commands[] = {
      {pack + " check --kind image --name T0A1B215.bin {}"},
      {pack + " check --kind catalog --model A1B2 {}"},
      {pack + " image --name T0A1B215.bin --first 0 --in {} --out " + out},
      {pack + " catalog --model A1B2 --out " + out + " @{}"},
      {pack + " verify --public {} " + out, Missing::kKeyText},
      {pack + " verify --public " + pub + " {} " + plain},
      {pack + " sign --secret {} " + plain},
      {pack + " serve " + empty + " --port 0 --tls-cert {} --tls-key " + plain},
      {pack + " serve " + empty + " --port 0 --tls-cert " + plain + " --tls-key {}"},
      {cli + " --wait 0 --simulate {}"},
      {cli + " --wait 0 --trust {}", Missing::kKeyText},
      {cli + " --demo --list --sim-flash {}", Missing::kNewFlash},
  };
  for (const Input& input : inputs) {
    for (const Command& command : commands) {
      std::string line = command.line;
      line.replace(line.find("{}"), 2, input.path);
      const auto start = std::chrono::steady_clock::now();
      const vqr::testing::CommandRun run = vqr::testing::RunCommand("timeout 20 " + line + " 2>&1");
      const auto took = std::chrono::steady_clock::now() - start;
      const bool missingTaken = input.path == missing && command.missing != Missing::kRefused;
      EXPECT_EQ(run.exitCode, missingTaken && command.missing == Missing::kNewFlash ? 0 : 2)
          << line << "\n"
          << run.output;
      EXPECT_LT(took, std::chrono::seconds(10)) << line;
      if (!missingTaken) {
        EXPECT_THAT(run.output,
                    testing::AnyOf(HasSubstr(input.path + ": " + input.reason),
                                   HasSubstr(input.parserReason.empty()
                                                 ? input.path + ": " + input.reason
                                                 : input.parserReason + ": " + input.path)))
            << line;
      }
    }
  }
  EXPECT_FALSE(std::filesystem::exists(plain + ".minisig")) << "nothing was signed";

  // An update tree whose catalog is each of them: a problem of the tree (exit 1) that names the
  // file and the reason.
  const std::string tree = TempPath("hostile_tree");
  std::filesystem::remove_all(tree);
  std::filesystem::create_directories(tree + "/Door3");
  const std::string catalog = tree + "/Door3/A1B2.Bin";
  for (const Input& input : inputs) {
    std::filesystem::create_symlink(input.path, catalog);
    const vqr::testing::CommandRun run =
        vqr::testing::RunCommand("timeout 20 " + pack + " verify " + tree + " 2>&1");
    EXPECT_EQ(run.exitCode, 1) << input.path << "\n" << run.output;
    EXPECT_THAT(run.output,
                HasSubstr("Door3/A1B2.Bin: cannot be read: " + catalog + ": " + input.reason));
    std::filesystem::remove(catalog);
  }
  std::filesystem::remove(fifo);
  std::filesystem::remove(sparse);
  std::filesystem::remove(dir);
}

// vqr-pack builds nothing under a name or a model code that cannot go into a URL as it
// stands: exit 1 with the reason, and no output file.
TEST(VqrPackNames, NoPackageUnderANameNoUrlCarries) {
  const std::string data = TempPath("names.data");
  WriteAll(data, std::vector<std::uint8_t>(4096, 0x5A));
  const std::string out = TempPath("names_out.bin");
  const std::string pack = VQR_PACK_PATH;
  struct Refusal {
    std::string arguments;
    std::string reason;
  };
  const Refusal refusals[] = {
      {"image --name ../x --first 0 --in " + data,
       "the name '../x' cannot be an image's file name"},
      {"catalog --model ../A T0A1B215.bin:1:", "got '../A'"},
      {"catalog --model A1B2 a/b:1:", "entry 1 ('a/b'): a file name holds only"},
  };
  for (const Refusal& refusal : refusals) {
    std::filesystem::remove(out);
    const vqr::testing::CommandRun run =
        vqr::testing::RunCommand(pack + " " + refusal.arguments + " --out " + out + " 2>&1");
    EXPECT_EQ(run.exitCode, 1) << refusal.arguments << "\n" << run.output;
    EXPECT_THAT(run.output, HasSubstr(refusal.reason)) << refusal.arguments;
    EXPECT_FALSE(std::filesystem::exists(out)) << refusal.arguments;
  }
}

}  // namespace
