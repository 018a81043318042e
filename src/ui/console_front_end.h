#pragma once
// The console front end: the message loop on the main thread, a main window
// that exists only as a line on the terminal, and message boxes on stderr.
// SIGINT and SIGTERM are the console's way of closing the window: they end
// the message loop through the window's own close path.

#include <cstdio>
#include <memory>

#include "common/clock.h"
#include "ui/front_end.h"

namespace oru::ui {

class ConsoleFrontEnd final : public FrontEnd {
 public:
  // `clock` must outlive the front end. Output goes to `out` (stdout) and
  // message boxes to `err` (stderr).
  explicit ConsoleFrontEnd(Clock& clock, std::FILE* out = stdout, std::FILE* err = stderr);
  ~ConsoleFrontEnd() override;

  MessageLoop& loop() override { return loop_; }
  std::unique_ptr<MainWindow> ConstructMainWindow() override;
  int ShowMessageBox(const std::string& text, const std::string& caption, MessageBoxIcon icon) override;

 private:
  MessageLoop loop_;
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace oru::ui
