#include "app/assistant_app.h"

#include "app/command_dispatcher.h"
#include "app/show_message.h"
#include "platform/debug_trace.h"
#include "platform/environment.h"
#include "platform/message_queue.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "services/browser/single_instance.h"
#include "services/crypto/crypto_setup.h"
#include "services/http/http_agent.h"
#include "services/launch/process_launch.h"
#include "services/process_state.h"

using namespace platform;

namespace {
std::atomic<CAssistantApp*> g_app{nullptr};
}

CAssistantApp::CAssistantApp(std::vector<std::u16string> commandLine,
                             std::optional<std::u16string> appName)
    : commandLine_(std::move(commandLine)),
      appName_(appName ? *appName : ModuleBaseName()),
      commands_(BuildCommandTable()),
      settings_(kCompanyKey, appName_),
      log_(appName_) {
  g_app = this;
}

CAssistantApp::~CAssistantApp() {
  CAssistantApp* self = this;
  g_app.compare_exchange_strong(self, nullptr);
}

CAssistantApp* CAssistantApp::Instance() { return g_app.load(); }

std::u16string CAssistantApp::TrayCommandLine() const {
  std::u16string module = ModuleFileName();
  size_t slash = module.rfind(u'\\');
  std::u16string folder = slash == std::u16string::npos ? u"" : module.substr(0, slash + 1);
  std::u16string fileName = module.substr(slash == std::u16string::npos ? 0 : slash + 1);
  // The folder ends with its separator already; exactly one separates it from the tray
  // program's name.
  return u"\"" + folder + kTrayProgram + u".exe\" " + fileName + u" " +
         std::u16string(u"103 102 128");
}

bool CAssistantApp::ProcessSetup(bool singleInstance) {
  // AppPath: the program's folder, inherited by the programs it starts.
  if (!SetEnvironmentVariable(u"AppPath", ModuleFolder())) return false;
  if (singleInstance) {
    HRESULT hr = AcquireSingleInstance();
    if (hr == 1) {
      SingleInstanceMutex().Close();  // another instance runs: leave silently
      return false;
    }
    if (FAILED(hr)) return false;
  }
  if (!RegisterCryptoAlgorithms()) return false;
  // COM has no counterpart here: there is nothing to initialise for the thread.
  return true;
}

void CAssistantApp::SetOptions() {
  OptionTable::Instance().Set(kOptionDownloadBesideProgram, 1);
  OptionTable::Instance().Set(kOptionCacheConfiguration, 0);
}

void CAssistantApp::SetHttpTimeouts() {
  // Name resolution 3 s; connect, send and receive 5 s each.
  Corvane::Network::HttpAgent().SetTimeouts(3000, 5000, 5000, 5000);
}

void CAssistantApp::RunMessageLoop() {
  MessageQueue& queue = UiQueue();
  while (running_) {
    MessageQueue::Message message = queue.Get();
    if (message.quit) break;
    if (message.task) message.task();
  }
}

void CAssistantApp::ShutDown() {
  SingleInstanceMutex().Close();
  UiQueue().PostQuit(0);
  running_ = false;
}

void CAssistantApp::ExitSequence() {
  std::u16string trayCommand = TrayCommandLine();
  // The autostart entry always follows the choice stored at this moment.
  ProgramSettings settings(settings_);
  SetAutostart(trayCommand, settings.AutoLaunch() == -1);
  if (settings.CloseToTray() == -1)
    LaunchProcess(trayCommand, false, false);
  for (auto& [type, key] : keys_)
    if (key) key->Unload();
  // The crypto library's providers are released by the library when the process ends.
  SingleInstanceMutex().Close();
}

Corvane::UI::DialogParameters CAssistantApp::StartupDialogParameters() const {
  Corvane::UI::DialogParameters parameters;
  parameters.title = ResourceModule::Self().LoadString(kAppTitleString);
  parameters.captioned = false;  // the page draws its own title bar
  parameters.fixedSize = 1;      // the window takes the page's size
  parameters.iconResourceId = kAppIcon;
  parameters.scriptCallHandler = &DispatchCommand;
  std::u16string resUrl = ProgramSettings(settings_).ResUrl();
  if (!resUrl.empty())
    parameters.url = resUrl;
  else
    parameters.htmlResourceId = kBuiltInPage;
  return parameters;
}

int CAssistantApp::Run() {
  // The program does not start without its HTTP session: the page could do nothing.
  if (!Corvane::Network::HttpAgent().IsReady()) {
    DebugTrace("Lumedesk: the HTTP session could not be opened\n");
    return 1;
  }
  if (!ProcessSetup()) return 0;
  SetOptions();
  // The USB watcher's device-change listener is set here once that service exists.
  SetHttpTimeouts();

  std::unique_ptr<Corvane::UI::IBrowserDialog> dialog =
      Corvane::UI::CreateBrowserDialog(StartupDialogParameters());
  if (dialog) {
    dialog_ = dialog.get();
    dialog->ShowWindow();
    RunMessageLoop();
    dialog->DestroyWindow();
    dialog_ = nullptr;
    dialog.reset();
  }
  ExitSequence();
  return 0;
}
