// A loopback TCP proxy that can stall its connections, to simulate a link that
// dies silently: a pulled cable or a frozen peer. It can also hold every chunk
// for a while in each direction, to simulate a link with latency.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ualib_test {

class TcpProxy {
 public:
  // Listens on a free port of 127.0.0.1 and forwards every accepted connection
  // to 127.0.0.1:targetPort, each chunk `delay` after it arrived (0: at once).
  // Throws when it cannot listen.
  explicit TcpProxy(uint16_t targetPort, std::chrono::microseconds delay = {});
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
  using Clock = std::chrono::steady_clock;
  struct Held {
    Clock::time_point due;
    std::string bytes;
  };
  struct Link {
    int client;
    int target;
    std::deque<Held> up;    // client to target
    std::deque<Held> down;  // target to client
  };

  void SetFrozen(bool frozen);
  void Run();
  void Pass();  // one poll and forwarding round
  bool Receive(int from, std::deque<Held>& held);
  static bool Release(std::deque<Held>& held, int to, bool all);
  Clock::duration NextDue() const;

  const uint16_t targetPort_;
  const std::chrono::microseconds delay_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> frozen_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> recording_{false};
  mutable std::mutex recordedMutex_;
  std::string recorded_;  // guarded by recordedMutex_
  std::atomic<uint64_t> passes_{0};
  std::vector<Link> links_;  // owned by the thread
  std::thread thread_;       // last: starts after everything above exists
};

}  // namespace ualib_test
