// The window port of the command-line front end: every text the window would show is printed
// on standard output on its own line, in the order the window would show it:
//   device: TEXT            the device label
//   button: TEXT            the start button's caption
//   list: TEXT              a line appended to the image list
//   message [CAPTION]: TEXT a message box (it needs no answer)
// A line feed inside a text is printed as the two characters \n. On a terminal the per-sector
// progress captions are replaced by one progress bar with a percentage and a rate.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "port/window_port.h"
#include "workflow/context.h"

namespace vqr::cli {

class CliPort final : public ui::WindowPort {
 public:
  CliPort(std::FILE* out, bool terminal);

  // The image-list item the user chose (-1: none). Reported as the list's selection.
  void ChooseImage(int index) { m_choice = index; }
  bool Ended() const { return m_ended; }
  int ListCount() const;

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

  // Draws the progress bar (terminal only); installed as the workflow's progress observer.
  void Progress(const ProgramProgress& progress);

 private:
  void Line(const char* prefix, const std::u16string& text, const std::u16string& caption = {});

  std::FILE* m_out;
  bool m_terminal;
  mutable std::mutex m_mutex;
  std::vector<std::u16string> m_list;
  int m_selection = -1;
  int m_choice = -1;
  bool m_ended = false;
  bool m_inProgress = false;  // per-sector captions are drawn as the bar
  std::chrono::steady_clock::time_point m_progressStart;
};

}  // namespace vqr::cli
