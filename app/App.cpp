#include "app/App.h"

#include <fx.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/AnalogStartup.h"
#include "app/AppOptions.h"
#include "app/AppShutdown.h"
#include "app/CLogFile.h"
#include "app/CMainWindow.h"
#include "app/CSettings.h"
#include "app/Icons.h"
#include "app/OnvifStartup.h"
#include "app/RtspStartup.h"
#include "net/ConfServices.h"
#include "app/Tables.h"
#include "channels/IPChannelFactory.h"
#include "channels/SignalWatch.h"
#include "net/CLstConfThread.h"
#include "net/ConfAuth.h"
#include "platform/Descriptors.h"
#include "platform/FutexSlots.h"
#include "platform/InstanceLock.h"

using namespace FX;

namespace {

FXApp* g_app = nullptr;  // the toolkit application while runTelvGate runs

std::string versionLine() { return std::string("TelvGate ") + kTelvGateVersion; }

// Receives SIGINT and SIGTERM through the event loop (never inside a signal handler) and runs
// the close sequence: the window's when there is one, else the same steps without it.
class AppController : public FXObject {
  FXDECLARE(AppController)

 public:
  enum { ID_SIGNAL = 1, ID_TICK, ID_RELOAD };
  // The toolkit looks at its caught-signal flag only between waits: a signal that lands after
  // that look and before the loop blocks would wait for the next event, which headless may
  // never come. This timer is such an event, so a signal always acts within one tick.
  static constexpr FXuint kTickMs = 250;

  long onSignal(FXObject*, FXSelector, void*) {
    requestClose();
    return 1;
  }
  // SIGHUP: the HTTPS certificate files are read again (a renewed certificate is used from the
  // next connection on).
  long onReload(FXObject*, FXSelector, void*) {
    g_logFile.log(CLogFile::Info, "system", "SIGHUP: reloading the HTTPS certificate.", "AppController::onReload");
    g_confThread.tls().reload();
    return 1;
  }
  long onTick(FXObject*, FXSelector, void*) {
    g_app->addTimeout(this, ID_TICK, kTickMs);
    return 1;
  }

  void requestClose() {
    if (m_closing) return;
    m_closing = true;
    if (g_mainWindow) {
      g_mainWindow->close();
    } else {
      closeAllChannels();
      g_app->stop(0);
    }
  }
  // True once a close was asked for; start-up steps still running then skip the event loop.
  bool closing() const { return m_closing; }

 private:
  bool m_closing = false;
};

FXDEFMAP(AppController) AppControllerMap[] = {
    FXMAPFUNC(SEL_SIGNAL, AppController::ID_SIGNAL, AppController::onSignal),
    FXMAPFUNC(SEL_TIMEOUT, AppController::ID_TICK, AppController::onTick),
    FXMAPFUNC(SEL_SIGNAL, AppController::ID_RELOAD, AppController::onReload),
};
FXIMPLEMENT(AppController, FXObject, AppControllerMap, ARRAYNUMBER(AppControllerMap))

// The platform's counterpart of starting a socket subsystem: a peer that closes its end must
// never kill the process with SIGPIPE, whatever send call a module uses.
bool startSocketSubsystem() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  return sigaction(SIGPIPE, &sa, nullptr) == 0;
}

void logMain(int level, const std::string& message) { g_logFile.log(level, "system", message, "main"); }

// Below this descriptor limit even one board's endpoints could not reach their bounds
// (4 x (2048 viewers + 1024 waiting requests + 64 answering threads), and the reserve).
constexpr uint64_t kDescriptorsWanted = 16384;

const char* const kBuiltInLoginWarning =
    "The built-in login \"admin\" is still accepted: anyone who knows it can change the "
    "settings. Add an administrator named \"admin\" in the System Settings to replace it.";

// The part of start-up that runs with the application, icons and window in place.
int runWithApp(FXApp& app, const AppOptions& opts, std::vector<std::string> rest) {
  const bool gui = !opts.headless && app.openDisplay();
  // A display that was named but could not be opened is worth a word: the user expects a
  // window. (No display at all is the normal server case and stays quiet.)
  const char* display = std::getenv("DISPLAY");
  const std::string lostDisplay = !opts.headless && !gui && display && *display ? display : "";
  if (!lostDisplay.empty())
    std::fprintf(stderr, "TelvGate: cannot open display '%s'; running without a window.\n",
                 lostDisplay.c_str());
  AppController controller;
  // Before anything starts, so a signal during start-up is not lost: the toolkit holds it
  // until the event loop (or a modal box) dispatches it.
  app.addSignal(SIGINT, &controller, AppController::ID_SIGNAL);
  app.addSignal(SIGTERM, &controller, AppController::ID_SIGNAL);
  app.addSignal(SIGHUP, &controller, AppController::ID_RELOAD);
  app.addTimeout(&controller, AppController::ID_TICK, AppController::kTickMs);
  // The controller lives on this stack frame: no signal or timer may reach it after we return.
  struct SignalRoutes {
    FXApp& app;
    AppController& controller;
    ~SignalRoutes() {
      app.removeSignal(SIGINT);
      app.removeSignal(SIGTERM);
      app.removeSignal(SIGHUP);
      app.removeTimeout(&controller, AppController::ID_TICK);
    }
  } routes{app, controller};

  g_settings.load();

  // Icons (realised only with a display) and the window.
  std::unique_ptr<AppIcons> icons;
  std::unique_ptr<CMainWindow> window;
  if (gui) {
    icons.reset(new AppIcons(&app));
    icons->create();
    window.reset(new CMainWindow(&app, *icons, [] { closeAllChannels(); }));
    g_mainWindow = window.get();
  }

  g_logFile.init();
  logMain(CLogFile::Info, versionLine() + " started.");
  if (!lostDisplay.empty())
    logMain(CLogFile::Warning, "Cannot open display '" + lostDisplay + "'; running without a window.");

  if (gui) app.create();

  platform::InstanceLock instance;
  switch (instance.acquire("TelvGate")) {
    case platform::InstanceLock::Result::Acquired:
      break;
    case platform::InstanceLock::Result::AlreadyRunning:
      showMessageBox(0, "TelvGate already running",
                     "Another TelvGate instance is running on this computer.\n");
      return 1;
    case platform::InstanceLock::Result::Failed:
      // Without a lock file a second instance cannot be detected; running is still better
      // than refusing to start over a missing runtime folder.
      logMain(CLogFile::Warning, "Single-instance check not possible: " + instance.error());
      break;
  }

  if (!startSocketSubsystem()) {
    showMessageBox(0, "Socket subsystem startup failure",
                   "The win socket subsystem could not be started.\n\nThis program will "
                   "terminate immediately.");
    logMain(CLogFile::Error, "Socket subsystem startup failure");
    return 1;
  }

  // Every viewer, waiting request and camera connection is a descriptor: take all the system
  // allows. The endpoints keep their connections below a bound derived from it, so the log,
  // the recordings and the configuration pages still find descriptors (platform/Descriptors.h).
  const uint64_t fdLimit = platform::raiseDescriptorLimit();
  if (fdLimit < kDescriptorsWanted)
    logMain(CLogFile::Warning, "The descriptor limit is " + std::to_string(fdLimit) +
                                   ": endpoints keep at most " +
                                   std::to_string(platform::connectionDescriptorBound()) +
                                   " connections in all (LimitNOFILE of the service raises it).");

  // Before the channels start their threads (see platform/FutexSlots.h); a kernel without a
  // table per process needs nothing.
  if (!platform::reserveFutexSlots(platform::kFutexSlotsForManyThreads) && errno != EINVAL)
    logMain(CLogFile::Warning, std::string("Could not size the table of waiting threads: ") + std::strerror(errno));

  if (gui) window->show(PLACEMENT_SCREEN);
  applyCommandLineAddress(rest);

  // A signal that arrived while a message box was up has already run the close sequence; then
  // nothing more is started.
  // Without the configuration server the channels still run; they just cannot be configured.
  if (!controller.closing() && (!g_confThread.init("", 0) || !g_confThread.start())) {
    showMessageBox(1, "Configuration server socket",
                   "Unable to open the configuration server socket.\n\nYou will not be able to "
                   "configure the TelvGate using the web interface.");
    logMain(CLogFile::Error, "Configuration server socket");
  }

  // While "Admins" has no "admin" entry, the built-in login opens the pages to anyone who knows
  // it, also when other administrators exist.
  if (!g_settings.existingEntry("Admins", kDefaultAdminLogin)) {
    const std::string warning = administratorConfigured() ? kBuiltInLoginWarning : kNoAdministratorWarning;
    logMain(CLogFile::Warning, warning);
    std::printf("TelvGate warning: %s\n", warning.c_str());
    std::fflush(stdout);
  }

  // The board drivers must outlive their channels: closeBoards() below runs after every
  // channel was closed.
  AnalogStartup analog;
  if (!controller.closing()) analog.loadAndStart(gui ? &app : nullptr);
  if (!controller.closing()) startIPChannelsFromSettings();
  // After the channels, so its first announcement lists their heads.
  OnvifStartup onvif;
  if (!controller.closing()) onvif.start();
  // Judges the cameras and stands in for failed sources; without it they only go unjudged.
  SignalWatch signals;
  if (!controller.closing() && !signals.begin())
    logMain(CLogFile::Error, std::string("Cannot start the signal watch: ") + std::strerror(errno));
  RtspStartup rtsp;
  if (!controller.closing()) rtsp.start();
  // A submission that changes their settings restarts what it changed, on the configuration
  // server thread; the lock keeps that apart from the stop below.
  std::mutex servicesLock;
  bool servicesDown = false;
  setServicesRestart([&] {
    std::lock_guard<std::mutex> g(servicesLock);
    if (servicesDown) return;
    rtsp.restartIfChanged();
    onvif.restartIfChanged();
  });

  FXint rc = 0;
  if (!controller.closing()) rc = app.run();
  // The loop also ends when a signal stopped a modal box; make sure the channels are down.
  controller.requestClose();

  signals.end();
  {
    std::lock_guard<std::mutex> g(servicesLock);
    servicesDown = true;
    rtsp.stop();
    onvif.stop();
  }
  g_confThread.shutdown();
  setServicesRestart(nullptr);
  // Channels a configuration submission created after the close are taken down here too.
  closeAllChannels();
  analog.closeBoards();
  logMain(CLogFile::Info, versionLine() + " terminated.");

  g_mainWindow = nullptr;
  window.reset();
  return rc;
}

}  // namespace

void showMessageBox(int kind, const char* title, const char* text) {
  std::fprintf(stderr, "%s: %s%s", title, text, text[0] && text[std::strlen(text) - 1] == '\n' ? "" : "\n");
  std::fflush(stderr);
  if (g_app && g_mainWindow) {
    if (kind == 0)
      FXMessageBox::error(g_app, MBOX_OK, title, "%s", text);
    else
      FXMessageBox::warning(g_app, MBOX_OK, title, "%s", text);
  }
}

int runTelvGate(int argc, char** argv) {
  AppOptions opts = parseOptions(argc, argv);
  if (opts.help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  if (opts.version) {
    std::printf("%s\n", versionLine().c_str());
    return 0;
  }
  for (const std::string& u : opts.unknown)
    std::fprintf(stderr, "telvgate: ignoring unknown option %s (see --help)\n", u.c_str());

  // The toolkit sees only the arguments that are not ours; it takes out its own (-display ...),
  // and what is left are the address and the port.
  std::vector<char*> args;
  args.push_back(argv[0]);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--", 2) != 0) args.push_back(argv[i]);
  int fxArgc = static_cast<int>(args.size());
  args.push_back(nullptr);

  FXApp app("TelvGate", "TELVORA");
  g_app = &app;
  // Without connecting: a missing display must not end the process (headless operation).
  app.init(fxArgc, args.data(), FALSE);
  std::vector<std::string> rest;
  for (int i = 1; i < fxArgc; ++i) rest.push_back(args[i]);

  int rc = runWithApp(app, opts, rest);
  g_app = nullptr;
  return rc;
}
