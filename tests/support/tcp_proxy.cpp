#include "tcp_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ualib_test {
namespace {

constexpr size_t kBufferSize = 64 * 1024;
constexpr int kListenBacklog = 64;
constexpr timeval kConnectTimeout{2, 0};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

void SetNoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

// Loopback connects either complete or are refused at once; the timeout only
// guards against a target whose accept backlog is full.
UniqueFd ConnectToTarget(uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    return fd;
  }
  setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &kConnectTimeout, sizeof(kConnectTimeout));
  sockaddr_in address = Loopback(port);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    return UniqueFd();
  }
  int flags = fcntl(fd.Get(), F_GETFL);
  fcntl(fd.Get(), F_SETFL, flags | O_NONBLOCK);
  SetNoDelay(fd.Get());
  return fd;
}

}  // namespace

// --- One forwarded connection ---

// Bytes travelling in one direction: read from one socket, written to the other.
struct Flow {
  std::array<char, kBufferSize> buffer;
  size_t begin = 0;
  size_t end = 0;
  bool eof = false;                              // the source has shut down its sending side
  bool finished = false;                         // ...and that was passed on to the destination
  std::function<void(const char*, size_t)> tap;  // sees every chunk read

  bool Empty() const { return begin == end; }
  bool WantsRead() const { return Empty() && !eof; }

  // Moves what it can without blocking. Returns false when the link is broken.
  bool Pump(int from, int to, bool readable) {
    if (WantsRead() && readable) {
      ssize_t count = recv(from, buffer.data(), buffer.size(), 0);
      if (count > 0) {
        begin = 0;
        end = static_cast<size_t>(count);
        if (tap) tap(buffer.data(), end);
      } else if (count == 0) {
        eof = true;
      } else if (!WouldBlock()) {
        return false;
      }
    }
    if (!Empty()) {
      ssize_t count = send(to, buffer.data() + begin, end - begin, MSG_NOSIGNAL);
      if (count > 0) {
        begin += static_cast<size_t>(count);
      } else if (count < 0 && !WouldBlock()) {
        return false;
      }
    }
    if (eof && Empty() && !finished) {
      shutdown(to, SHUT_WR);
      finished = true;
    }
    return true;
  }
};

struct TcpProxy::Link {
  UniqueFd client;
  UniqueFd target;
  Flow up;    // client -> target
  Flow down;  // target -> client

  short ClientEvents() const { return Events(up, down); }
  short TargetEvents() const { return Events(down, up); }
  bool Done() const { return up.finished && down.finished; }

 private:
  // A socket is read for the flow leaving it and written for the flow entering it.
  static short Events(const Flow& outgoing, const Flow& incoming) {
    return static_cast<short>((outgoing.WantsRead() ? POLLIN : 0) | (incoming.Empty() ? 0 : POLLOUT));
  }
};

// --- Public interface ---

TcpProxy::TcpProxy(uint16_t targetPort, uint16_t listenPort)
    : targetPort_(targetPort),
      listener_(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!listener_.Valid() || !wakeFd_.Valid()) {
    throw std::runtime_error(std::string("TcpProxy: ") + std::strerror(errno));
  }
  int on = 1;
  setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = Loopback(listenPort);
  socklen_t length = sizeof(address);
  if (bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_.Get(), kListenBacklog) != 0 ||
      getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("TcpProxy: cannot listen on 127.0.0.1:" + std::to_string(listenPort) + ": " +
                             std::strerror(errno));
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TcpProxy::~TcpProxy() {
  {
    std::lock_guard lock(mutex_);
    requests_.stop = true;
  }
  Wake();
  thread_.join();
}

std::string TcpProxy::Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

void TcpProxy::Freeze() {
  Request([](Requests& r) { r.frozen = true; });
}

void TcpProxy::Thaw() {
  Request([](Requests& r) { r.frozen = false; });
}

void TcpProxy::Cut() {
  Request([](Requests& r) { ++r.cuts; });
}

size_t TcpProxy::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

// Hands a change to the forwarding thread and waits until it has applied it.
void TcpProxy::Request(const std::function<void(Requests&)>& change) {
  std::unique_lock lock(mutex_);
  change(requests_);
  const uint64_t sequence = ++requests_.sequence;
  Wake();
  applied_.wait(lock, [&] { return appliedSequence_ >= sequence; });
}

void TcpProxy::Wake() const {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakeFd_.Get(), &one, sizeof(one));
}

// --- Forwarding thread ---

void TcpProxy::Run() {
  std::vector<pollfd> fds;
  while (ApplyRequests()) {
    fds.clear();
    fds.push_back({wakeFd_.Get(), POLLIN, 0});
    if (!frozen_) {
      fds.push_back({listener_.Get(), POLLIN, 0});
      for (const auto& link : links_) {
        // A negative fd is skipped by poll(): nothing to wait for on that side.
        short clientEvents = link->ClientEvents();
        short targetEvents = link->TargetEvents();
        fds.push_back({clientEvents != 0 ? link->client.Get() : -1, clientEvents, 0});
        fds.push_back({targetEvents != 0 ? link->target.Get() : -1, targetEvents, 0});
      }
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      continue;  // EINTR
    }
    if (fds[0].revents != 0) {
      uint64_t drained = 0;
      [[maybe_unused]] ssize_t count = read(wakeFd_.Get(), &drained, sizeof(drained));
    }
    if (frozen_) {
      continue;
    }
    // Entries 2.. pair up with links_ as it was when the set was built.
    const short readable = POLLIN | POLLHUP | POLLERR;
    for (size_t i = 0; i < links_.size(); ++i) {
      Link& link = *links_[i];
      const pollfd& client = fds[2 + 2 * i];
      const pollfd& target = fds[3 + 2 * i];
      bool healthy = link.up.Pump(link.client.Get(), link.target.Get(), client.revents & readable) &&
                     link.down.Pump(link.target.Get(), link.client.Get(), target.revents & readable);
      if (!healthy || link.Done()) {
        links_[i].reset();  // closes both sockets
      }
    }
    std::erase(links_, nullptr);
    if (fds[1].revents != 0) {
      AcceptAll();
    }
    PublishConnectionCount();
  }
}

bool TcpProxy::ApplyRequests() {
  Requests requests;
  {
    std::lock_guard lock(mutex_);
    requests = requests_;
  }
  frozen_ = requests.frozen;
  if (requests.cuts != cutsDone_ || requests.stop) {
    links_.clear();
    cutsDone_ = requests.cuts;
  }
  {
    std::lock_guard lock(mutex_);
    connections_ = links_.size();
    appliedSequence_ = requests.sequence;
  }
  applied_.notify_all();
  return !requests.stop;
}

void TcpProxy::AcceptAll() {
  while (true) {
    UniqueFd client(accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client.Valid()) {
      return;  // EAGAIN: nothing left to accept (other errors: try again on the next poll)
    }
    UniqueFd target = ConnectToTarget(targetPort_);
    if (!target.Valid()) {
      continue;  // the client sees its connection closed, as with a dead target
    }
    SetNoDelay(client.Get());
    auto link = std::make_unique<Link>();
    link->client = std::move(client);
    link->target = std::move(target);
    link->up.tap = link->down.tap = [this](const char* data, size_t size) { Tap(data, size); };
    links_.push_back(std::move(link));
  }
}

void TcpProxy::Record() {
  std::lock_guard lock(mutex_);
  recording_ = true;
}

std::string TcpProxy::Recorded() const {
  std::lock_guard lock(mutex_);
  return recorded_;
}

void TcpProxy::Tap(const char* data, size_t size) {
  std::lock_guard lock(mutex_);
  if (recording_) recorded_.append(data, size);
}

void TcpProxy::PublishConnectionCount() {
  std::lock_guard lock(mutex_);
  connections_ = links_.size();
}

}  // namespace ualib_test
