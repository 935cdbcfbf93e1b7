// A loopback TCP proxy that can stall or drop its connections, to simulate a
// link that dies silently (Freeze) or visibly (Cut).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace ualib_test {

class TcpProxy {
 public:
  // Listens on 127.0.0.1:listenPort (0: a free port) and forwards every accepted
  // connection to 127.0.0.1:targetPort. Throws when it cannot listen.
  explicit TcpProxy(uint16_t targetPort, uint16_t listenPort = 0);
  ~TcpProxy();  // closes everything and joins the forwarding thread
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  uint16_t Port() const { return port_; }
  std::string Endpoint() const;  // "opc.tcp://127.0.0.1:<port>"

  // The calls below take effect before they return.
  // Stops forwarding in both directions and accepting; sockets stay open (no
  // FIN, no RST) and data stays unread.
  void Freeze();
  void Thaw();
  // Closes all current connections; new ones are still accepted.
  void Cut();
  size_t Connections() const;
  // From now on keeps a copy of every byte forwarded in either direction.
  void Record();
  std::string Recorded() const;

 private:
  struct Link;
  struct Requests {
    bool frozen = false;
    bool stop = false;
    uint64_t cuts = 0;
    uint64_t sequence = 0;  // bumped by every request
  };

  void Request(const std::function<void(Requests&)>& change);
  void Wake() const;
  void Run();
  bool ApplyRequests();  // returns false once asked to stop
  void AcceptAll();
  void PublishConnectionCount();
  void Tap(const char* data, size_t size);

  const uint16_t targetPort_;
  UniqueFd listener_;
  UniqueFd wakeFd_;  // eventfd that interrupts the thread's poll()
  uint16_t port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable applied_;
  Requests requests_;             // guarded by mutex_
  uint64_t appliedSequence_ = 0;  // guarded by mutex_
  size_t connections_ = 0;        // guarded by mutex_
  bool recording_ = false;        // guarded by mutex_
  std::string recorded_;          // guarded by mutex_

  // Owned by the forwarding thread.
  std::vector<std::unique_ptr<Link>> links_;
  bool frozen_ = false;
  uint64_t cutsDone_ = 0;

  std::thread thread_;  // last: starts after everything above exists
};

}  // namespace ualib_test
