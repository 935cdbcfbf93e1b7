// A loopback TCP proxy that can stall its connections, to simulate a link that
// dies silently: a pulled cable or a frozen peer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ualib_test {

class TcpProxy {
 public:
  // Listens on a free port of 127.0.0.1 and forwards every accepted connection
  // to 127.0.0.1:targetPort. Throws when it cannot listen.
  explicit TcpProxy(uint16_t targetPort);
  ~TcpProxy();  // closes everything and joins the forwarding thread
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  std::string Endpoint() const;  // "opc.tcp://127.0.0.1:<port>"
  // Stops forwarding and accepting, in effect before it returns; the sockets stay
  // open (no FIN, no RST) and data stays unread.
  void Freeze() { SetFrozen(true); }
  void Thaw() { SetFrozen(false); }
  // From now on keeps a copy of every byte forwarded in either direction.
  void Record() { recording_ = true; }
  std::string Recorded() const;

 private:
  void SetFrozen(bool frozen);
  void Run();
  void Pass();  // one poll and forwarding round
  bool Forward(int from, int to);

  const uint16_t targetPort_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> frozen_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> recording_{false};
  mutable std::mutex recordedMutex_;
  std::string recorded_;  // guarded by recordedMutex_
  std::atomic<uint64_t> passes_{0};
  std::vector<std::pair<int, int>> links_;  // (client, target); owned by the thread
  std::thread thread_;                      // last: starts after everything above exists
};

}  // namespace ualib_test
