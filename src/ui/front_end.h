#pragma once
// What start-up needs of a front end: the UI thread's message loop, the main
// window and message boxes. The console front end implements it now; the
// skinned toolkit's backends (headless, gtk) implement it later, on the same
// message loop.

#include <memory>
#include <string>

#include "ui/toolkit/message_loop.h"

namespace oru::ui {

struct WindowSpec {
  std::string title;
  std::string class_name = "ORU";
  int x = 0;
  int y = 0;
  int width = 500;
  int height = 400;
};

enum class MessageBoxIcon { kError, kWarning, kInformation, kQuestion };

// The main window as start-up drives it. Used on the UI thread only.
class MainWindow {
 public:
  virtual ~MainWindow() = default;
  // Creates the window; returns its id, 0 when no window came into being.
  virtual WindowId Create(const WindowSpec& spec) = 0;
  virtual void CenterOnScreen() = 0;
  // Shows it normally and activated, or hides it (fork mode).
  virtual void Show(bool visible) = 0;
  // What a second start asks for: restore when minimised, else show, and
  // bring it to the front.
  virtual void Activate() = 0;
};

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual MessageLoop& loop() = 0;
  // Constructs the main window object; nullptr when construction failed.
  virtual std::unique_ptr<MainWindow> ConstructMainWindow() = 0;
  // A modal message box without owner; returns the button pressed (1 = OK).
  virtual int ShowMessageBox(const std::string& text, const std::string& caption, MessageBoxIcon icon) = 0;
};

}  // namespace oru::ui
