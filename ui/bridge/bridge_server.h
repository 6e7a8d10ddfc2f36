// The host end of the bridge: an HTTP server on 127.0.0.1 (a port the system picks) that
// serves the page from the program's resources with the bridge script injected first, and
// answers the page's synchronous calls.
//
// Paths: "/?launch=<ticket>" the page (once: the ticket opens the one page session and the
// page receives the launch secret inside the injected script); "/<name>" the HTML resource
// of that name (the way res: addresses resolve); POST "/bridge/callc" a synchronous call;
// "/bridge/ws" the page session's WebSocket (asynchronous calls, callbacks, host calls).
// Every request must name the exact Host and, when it carries an Origin, the exact Origin;
// bridge requests must also carry the secret in the X-Lumedesk-Secret header (the
// WebSocket, which a page cannot give headers of its own, in Sec-WebSocket-Protocol as
// "lumedesk.<secret>"); only one page session at a time. A request
// that fails a check gets 403 and runs nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "ui/bs_dialog.h"
#include "ui/ui_thread_calls.h"

namespace Corvane::UI {

struct BridgePage {
  uint32_t htmlResourceId = 0;  // the page: HTML resource by id ...
  std::u16string htmlResourceName;  // ... else by name
};

class BridgeServer {
 public:
  // Starts serving; none (with the reason in *hr) when no socket or secret could be had.
  // `dialog` supplies the script-call handler; `ui` carries the calls to the UI thread.
  // Both must outlive the server. Close `ui` before destroying the server: a synchronous
  // call waiting for the UI thread is then released instead of holding up the shutdown.
  static std::unique_ptr<BridgeServer> Start(IBSDialog* dialog, UiThreadCalls* ui,
                                             const BridgePage& page, platform::HRESULT* hr);
  ~BridgeServer();  // stops serving
  BridgeServer(const BridgeServer&) = delete;
  BridgeServer& operator=(const BridgeServer&) = delete;

  uint16_t Port() const;
  // The address that opens the page session; good for one page load.
  std::string PageAddress() const;
  // The launch secret. It goes to the page only inside the served page, never on a
  // command line; the tests read it here.
  const std::string& Secret() const;

  // Host to page over the page session's WebSocket. `message` is a JSON object (see the
  // bridge script for the operations); the page answers with an HRESULT and a value.
  // Without a page session: E_POINTER. From the UI thread the message is sent but not
  // waited for, since the page may itself be waiting on the UI thread: S_OK and an empty
  // result. Other threads wait for the page's answer, or E_ABORT when the session ends.
  platform::HRESULT PageCall(const std::string& message, platform::Variant* result);
  bool PageConnected() const;

  class Impl;

 private:
  explicit BridgeServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace Corvane::UI
