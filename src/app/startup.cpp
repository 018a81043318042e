#include "app/startup.h"

#include <memory>
#include <chrono>
#include <mutex>

#include "app/command_line.h"
#include "app/crash_analytics.h"
#include "app/crash_handler.h"
#include "app/simple_log.h"
#include "common/log.h"
#include "config/language_table.h"
#include "orchestrator/oru_mgr.h"
#include "platform/file_util.h"
#include "platform/process_util.h"
#include "platform/single_instance.h"
#include "server_api/service_endpoints.h"
#include "support/log_reporter.h"
#include "telemetry/installer_analytics.h"

namespace oru {
namespace {

constexpr char kErrorCaption[] = "Error";
constexpr char kNotAdministrator[] = "You must be logged in as administrator when installing this program.";
constexpr int kRefused = -1;

// The process logger is never destroyed: threads that outlive start-up may
// still log. Earlier ones (from in-process test runs) stay reachable here.
simpleLog* CreateProcessLogger(const std::string& path, Clock& clock) {
  static std::mutex* mutex = new std::mutex();
  static auto* loggers = new std::vector<std::unique_ptr<simpleLog>>();
  std::lock_guard<std::mutex> lock(*mutex);
  loggers->push_back(std::make_unique<simpleLog>(path, clock));
  return loggers->back().get();
}

// How long the exit sequence lets the analytics client save what it could
// not send.
constexpr std::chrono::seconds kAnalyticsShutdownBound{5};

class Startup {
 public:
  Startup(const std::vector<std::string>& arguments, StartupServices& services)
      : arguments_(ReadStartupArguments(BuildArgumentMap(arguments))), services_(services) {}

  int Run();

 private:
  void OpenLog();
  void InstallCrashCapture();
  void StartAnalytics();
  int Refuse(const char* log_line, const char* box_text);
  void ApplyHostFacts();
  bool TakeSingleInstance();
  bool CreateMainWindow();
  void ListenForActivation();
  // The orderly teardown shared by every ending.
  void Teardown();

  const StartupArguments arguments_;
  StartupServices& services_;
  std::string instance_name_;
  std::unique_ptr<InstanceLock> instance_;
  std::unique_ptr<LanguageTable> languages_;
  std::unique_ptr<ui::MainWindow> window_;
};

int Startup::Run() {
  OpenLog();
  InstallCrashCapture();
  if (!services_.is_administrator()) {
    return Refuse("[ERROR] You must be logged in as administrator when installing this program.", kNotAdministrator);
  }
  OruMgr& mgr = OruMgr::Instance();
  mgr.SetForkMode(arguments_.fork);
  mgr.SetClock(services_.clock);
  if (!mgr.LoadLocalXml()) return Refuse("[ERROR] LoadLocalXml failed!", "Load product xml error.");
  mgr.ReadRunConfig();
  languages_ = std::make_unique<LanguageTable>();
  ApplyHostFacts();
  if (!languages_->loadLangXML(mgr.product_config().ProductBrand)) {
    return Refuse("[ERROR] loadLangXML failed!", "Load lang xml error.");
  }
  if (!TakeSingleInstance()) return Refuse(nullptr, nullptr);
  if (!CreateMainWindow()) return Refuse(nullptr, nullptr);
  StartAnalytics();
  ListenForActivation();

  Log(kLogInfo, "[INFO] MessageLoop");
  services_.front_end->loop().RunUntilQuit();
  Log(kLogInfo, "[INFO] MessageLoop end");
  Teardown();
  window_.reset();
  Log(kLogInfo, "[INFO] exit!");
  return 0;
}

void Startup::OpenLog() {
  simpleLog* logger = CreateProcessLogger(LogFilePath(services_.locations.temp_dir, arguments_.fork), *services_.clock);
  logger->Open();
  SetProcessLog(logger);
  Log(kLogInfo, "[INFO] start, fork=[%d].", arguments_.fork ? 1 : 0);
}

void Startup::InstallCrashCapture() {
  if (!services_.capture_crashes) return;
  CrashHandlerSetup setup;
  setup.executable_path = OwnExecutablePath();
  setup.record_path = CrashRecordPath(WithTrailingSeparator(services_.locations.temp_dir));
  if (!InstallCrashHandler(setup)) Log(kLogWarn, "[WARN] crash handler not installed.");
  // A record of an earlier run goes out through a helper run of its own, so
  // that its report state never mixes with this run's.
  StartPendingCrashDelivery(setup.executable_path, setup.record_path);
}

// What the window does when it prepares itself; the console front end has
// no window controller yet, so start-up does it once the window exists.
void Startup::StartAnalytics() {
  if (!services_.report_analytics) return;
  OruMgr& mgr = OruMgr::Instance();
  AnalyticsContext context = mgr.AnalyticsContextFor(languages_->GetLangCode(languages_->current_language()));
  InitAnalytics(kAnalyticsProject, kAnalyticsTrackingName, context);
  if (services_.capture_crashes) PublishAnalyticsForCrash(context, GetServiceEndpoints().analytics_collectors);
}

// A refusal after its log line (when given): the box unless in fork mode,
// then the same teardown as a normal exit.
int Startup::Refuse(const char* log_line, const char* box_text) {
  if (log_line != nullptr) Log(kLogError, "%s", log_line);
  if (box_text != nullptr && !arguments_.fork) {
    services_.front_end->ShowMessageBox(box_text, kErrorCaption, ui::MessageBoxIcon::kError);
  }
  Teardown();
  window_.reset();
  return kRefused;
}

void Startup::ApplyHostFacts() {
  if (!arguments_.fork) return;
  OruMgr& mgr = OruMgr::Instance();
  if (!arguments_.host_lang.empty()) {
    mgr.SetHostLanguage(arguments_.host_lang);
    languages_->SetSelectLang(arguments_.host_lang, &mgr.run_state());
  }
  mgr.SetHostVersion(arguments_.host_version);
  if (arguments_.host_hwnd.empty()) return;
  std::optional<int32_t> hwnd = ParseDecimalHandle(arguments_.host_hwnd);
  if (!hwnd) {
    Log(kLogWarn, "[WARN] ignore host hwnd=[%s], not a decimal 32-bit number.", arguments_.host_hwnd.c_str());
    return;
  }
  Log(kLogInfo, "[INFO] set host hwnd=[%x].", static_cast<unsigned>(*hwnd));
  mgr.SetHostHwnd(*hwnd);
}

bool Startup::TakeSingleInstance() {
  instance_name_ = OruMgr::Instance().product_config().ProductName + "_oru";
  if (arguments_.fork) instance_name_ += "_fork";
  const std::string& folder = services_.locations.lock_dir;
  CreateDirectoryLevels(folder);
  InstanceLockResult result = AcquireInstanceLock(folder, instance_name_);
  if (result.status == InstanceLockStatus::kAcquired) {
    instance_ = std::move(result.lock);
    return true;
  }
  if (result.status == InstanceLockStatus::kError) {
    // Without a lock there is no way to tell a second copy; refusing would
    // block every start, so the run goes on unguarded.
    Log(kLogWarn, "[WARN] instance lock failed, name=[%s], err=[%s].", instance_name_.c_str(), result.error.c_str());
    return true;
  }
  Log(kLogWarn, "[WARN] Already exist PreInstance.");
  if (arguments_.fork) return false;
  ActivateResult activated = ActivateRunningInstance(folder, instance_name_);
  if (activated.status != ActivateStatus::kAcknowledged) {
    Log(kLogWarn, "[WARN] activate PreInstance failed, err=[%s].", activated.error.c_str());
  }
  return false;
}

bool Startup::CreateMainWindow() {
  window_ = services_.front_end->ConstructMainWindow();
  if (!window_) {
    Log(kLogError, "[ERROR] create OruWnd failed!");
    return false;
  }
  ui::WindowSpec spec;
  spec.title = OruMgr::Instance().product_config().ProductName;
  ui::WindowId id = window_->Create(spec);
  if (id == 0) {
    // No handle means nothing could ever end the message loop.
    Log(kLogError, "[ERROR] create OruWnd failed!");
    return false;
  }
  Log(kLogInfo, "[INFO] OruWnd handle=[%x]", static_cast<unsigned>(id));
  OruMgr::Instance().SetMainWindow(static_cast<uint32_t>(id));
  window_->CenterOnScreen();
  window_->Show(!arguments_.fork);
  return true;
}

// A fork-mode copy is hidden and never brought forward.
void Startup::ListenForActivation() {
  if (instance_ == nullptr || arguments_.fork) return;
  ui::MessageLoop& loop = services_.front_end->loop();
  ui::MainWindow* window = window_.get();
  std::string error;
  bool listening = instance_->StartListening(
      [&loop, window] {
        loop.Post([window] {
          Log(kLogInfo, "[INFO] activated by a second start.");
          window->Activate();
        });
      },
      &error);
  if (!listening) Log(kLogWarn, "[WARN] activation channel failed, err=[%s].", error.c_str());
}

// Later parts of the run add their steps here in this order: stop the
// analytics layer, release the instance, shut the download engine down.
void Startup::Teardown() {
  // Unsent events wait in the staging file for the next run.
  if (services_.report_analytics) ShutdownAnalytics(kAnalyticsShutdownBound);
  if (instance_) instance_->Close();
  instance_.reset();
}

}  // namespace

std::string LogFilePath(const std::string& temp_dir, bool fork) {
  // The log reporter collects the logs from the same folder.
  std::string folder = InstallerLogFolder(temp_dir);
  if (!CreateDirectoryLevels(folder)) folder = WithTrailingSeparator(temp_dir);
  return folder + (fork ? "qvForkORU.log" : "qvORU.log");
}

std::optional<int> RunCrashReportHelper(const std::vector<std::string>& arguments) {
  CrashDeliveryHooks hooks;
  hooks.queue_crash_event = &SendCrashAnalyticsEvent;
  return RunCrashReportHelperIfRequested(arguments, hooks);
}

int RunInstaller(const std::vector<std::string>& arguments, StartupServices& services) {
  Startup startup(arguments, services);
  return startup.Run();
}

}  // namespace oru
