#include "ui/console_front_end.h"

#include <atomic>
#include <string>

#include "common/log.h"
#include "platform/termination_signal.h"

namespace oru::ui {
namespace {

// Window ids are handed out per process; 0 stays "no window".
std::atomic<WindowId> g_next_window_id{0x10000};

class ConsoleMainWindow final : public MainWindow {
 public:
  ConsoleMainWindow(MessageLoop& loop, std::FILE* out) : loop_(loop), out_(out) {}

  ~ConsoleMainWindow() override {
    signals_.reset();  // joins the signal thread before the window goes
    if (id_ != 0) loop_.UnregisterWindow(id_);
  }

  WindowId Create(const WindowSpec& spec) override {
    title_ = spec.title;
    WindowId id = g_next_window_id.fetch_add(1);
    if (!loop_.RegisterWindow(id, [](std::uint32_t, std::intptr_t, std::intptr_t) {})) return 0;
    id_ = id;
    signals_ = std::make_unique<TerminationSignalWatcher>([this](int signo) { OnSignal(signo); });
    return id_;
  }

  void CenterOnScreen() override {}

  void Show(bool visible) override {
    if (!visible) return;
    std::fprintf(out_, "%s: running. Press Ctrl-C to close.\n", title_.empty() ? "ORU" : title_.c_str());
    std::fflush(out_);
  }

  void Activate() override {
    std::fprintf(out_, "%s: brought to the front by another start.\n", title_.empty() ? "ORU" : title_.c_str());
    std::fflush(out_);
  }

 private:
  // On the signal thread: closing the window is the UI thread's business.
  void OnSignal(int signo) {
    loop_.Post([this, signo] { Close(signo); });
  }

  void Close(int signo) {
    Log(kLogInfo, "[INFO] console close requested, signal=[%d].", signo);
    loop_.Quit(0);
  }

  MessageLoop& loop_;
  std::FILE* out_;
  std::string title_;
  WindowId id_ = 0;
  std::unique_ptr<TerminationSignalWatcher> signals_;
};

const char* IconWord(MessageBoxIcon icon) {
  switch (icon) {
    case MessageBoxIcon::kError:
      return "error";
    case MessageBoxIcon::kWarning:
      return "warning";
    case MessageBoxIcon::kInformation:
      return "information";
    case MessageBoxIcon::kQuestion:
      return "question";
  }
  return "message";
}

}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(Clock& clock, std::FILE* out, std::FILE* err) : loop_(clock), out_(out), err_(err) {}

ConsoleFrontEnd::~ConsoleFrontEnd() = default;

std::unique_ptr<MainWindow> ConsoleFrontEnd::ConstructMainWindow() {
  return std::make_unique<ConsoleMainWindow>(loop_, out_);
}

int ConsoleFrontEnd::ShowMessageBox(const std::string& text, const std::string& caption, MessageBoxIcon icon) {
  std::fprintf(err_, "[%s] %s: %s\n", IconWord(icon), caption.c_str(), text.c_str());
  std::fflush(err_);
  return 1;
}

}  // namespace oru::ui
