// Where the port's lines go: the progress bar is drawn on standard error when that is a
// terminal, and the per-sector captions leave standard output only when both streams share a
// terminal, the bar standing in for them; a device notice keeps its own lines and no others.
#include <gmock/gmock.h>

#include <array>
#include <cstdio>
#include <string>

#include "cli_process.h"
#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "device/hid_simulated.h"
#include "port/window_port.h"
#include "ui/cli/cli_port.h"
#include "ui/shell/controller.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using vqr::ProgramPhase;

std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
  return text;
}

// One image of two sectors as ProgramImage reports it: its captions and its progress.
void ProgramTwoSectors(vqr::cli::CliPort& port) {
  port.Progress({'T', false, 0, 2, ProgramPhase::kWrite});
  for (std::uint32_t s = 0; s < 2; ++s) {
    port.Progress({'T', false, s, 2, ProgramPhase::kErase});
    port.SetText(vqr::ui::kStartButton, u"Writing T " + std::u16string(1, u'2' - s));
    port.Progress({'T', false, s + 1, 2, ProgramPhase::kWrite});
  }
  port.Progress({'T', true, 0, 2, ProgramPhase::kVerify});
  for (std::uint32_t s = 0; s < 2; ++s) {
    port.SetText(vqr::ui::kStartButton, u"Verifying T " + std::u16string(1, u'2' - s));
    port.Progress({'T', true, s + 1, 2, ProgramPhase::kVerify});
  }
  port.SetText(vqr::ui::kStartButton, u"Verify T Complete!");
}

struct StreamCase {
  const char* name;
  bool outTerminal;
  bool errTerminal;
  bool bar;             // the bar is drawn on standard error
  bool sectorCaptions;  // the per-sector captions reach standard output
};

class CliPortStreams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(CliPortStreams, BarOnStandardErrorCaptionsOnStandardOutput) {
  const StreamCase& c = GetParam();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  vqr::cli::CliOutput output;
  output.out = out;
  output.err = err;
  output.outTerminal = c.outTerminal;
  output.errTerminal = c.errTerminal;
  {
    vqr::cli::CliPort port(output);
    ProgramTwoSectors(port);
  }
  const std::string outText = Contents(out);
  const std::string errText = Contents(err);
  std::fclose(out);
  std::fclose(err);

  if (c.bar) {
    EXPECT_THAT(errText, HasSubstr("\rT write  [###############               ]  50%"));
    EXPECT_THAT(errText, HasSubstr("\rT verify [##############################] 100%"));
    EXPECT_EQ(errText.back(), '\n') << "the bar's line is ended once the image is read back";
  } else {
    EXPECT_EQ(errText, "");
  }
  EXPECT_THAT(outText, Not(HasSubstr("\r"))) << "the bar never goes to standard output";
  for (const char* caption : {"button: Writing T 2\n", "button: Verifying T 1\n"}) {
    if (c.sectorCaptions)
      EXPECT_THAT(outText, HasSubstr(caption));
    else
      EXPECT_THAT(outText, Not(HasSubstr(caption)));
  }
  EXPECT_THAT(outText, HasSubstr("button: Verify T Complete!\n")) << "said after the bar";
}

INSTANTIATE_TEST_SUITE_P(Terminals, CliPortStreams,
                         ::testing::Values(StreamCase{"Neither", false, false, false, true},
                                           StreamCase{"OnlyStandardError", false, true, true, true},
                                           StreamCase{"OnlyStandardOutput", true, false, false,
                                                      true},
                                           StreamCase{"Both", true, true, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A device that cannot be opened, whose path and platform text hold line feeds: the notice on
// standard error has its own five lines (English, Chinese, the details, empty lines between)
// and the foreign line feeds show escaped.
TEST(CliDeviceNotice, ForeignLineFeedsStartNoLine) {
  std::array<std::uint8_t, 256> page{};
  vqr::sim::SimBootloader device(page);
  vqr::hid::SimulatedHidBackend backend;
  vqr::hid::SimInterface denied{u"/dev/hid\nmessage [更新完成]: OK", 0x0416, 0xF360, &device};
  denied.claimFails = vqr::hid::OpenError::kAccessDenied;
  denied.claimDetail = u"Permission\ndenied\\";
  backend.SetInterfaces({denied});
  vqr::g_hidCmd.IO().UseBackend(backend);
  std::FILE* err = std::tmpfile();
  ASSERT_NE(err, nullptr);
  vqr::cli::CliOutput output;
  output.err = err;
  {
    vqr::cli::CliPort port(output);
    vqr::ui::NoSearchTimer timer;
    vqr::ui::WindowController controller(port, timer, vqr::WorkerContext{});
    vqr::cli::PrintDeviceNotices(controller, port);
    EXPECT_FALSE(controller.Probe());
  }
  vqr::g_hidCmd.IO().UseBackend(vqr::hid::NoDeviceHidBackend());
  const std::vector<std::string> lines = vqr::testing::SplitLines(Contents(err));
  std::fclose(err);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].rfind("vqr03-cli: A VQR03 device is plugged in, but this user", 0), 0u);
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "[/dev/hid\\nmessage [更新完成]: OK] 0: Permission\\ndenied\\\\");
}

}  // namespace
