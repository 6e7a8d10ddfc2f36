// A WebSocket client for the bridge's protocol tests: it plays the page's side of the page
// session. Built with the server (Boost.Beast stays in one translation unit).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Corvane::UI {

class BridgeTestClient {
 public:
  BridgeTestClient();
  ~BridgeTestClient();

  // Opens ws://127.0.0.1:port/bridge/ws with the given Host, Origin (none when empty) and
  // offered protocol; returns 101 when the session opened, another status otherwise.
  int Connect(uint16_t port, const std::string& host, const std::string& origin,
              const std::string& protocol);
  bool Send(const std::string& text);
  // The next message from the host; none when the session ended.
  std::optional<std::string> Receive();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace Corvane::UI
