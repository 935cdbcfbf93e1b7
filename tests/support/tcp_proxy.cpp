#include "tcp_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace ualib_test {
namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

}  // namespace

// Takes what is readable into `held`, due one delay from now; false once the peer
// has closed or failed.
bool TcpProxy::Receive(int from, std::deque<Held>& held) {
  char buffer[65536];
  const ssize_t count = recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
  if (count < 0) return errno == EAGAIN || errno == EINTR;
  if (count > 0 && recording_) {
    std::lock_guard<std::mutex> lock(recordedMutex_);
    recorded_.append(buffer, static_cast<size_t>(count));
  }
  if (count > 0) held.push_back({Clock::now() + delay_, std::string(buffer, static_cast<size_t>(count))});
  return count > 0;
}

// Sends the chunks that are due (or all of them), oldest first; false when sending fails.
bool TcpProxy::Release(std::deque<Held>& held, int to, bool all) {
  const auto now = Clock::now();
  while (!held.empty() && (all || held.front().due <= now)) {
    const std::string& bytes = held.front().bytes;
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = send(to, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    held.pop_front();
  }
  return true;
}

// How long the next poll may wait: at most 5 ms, less when a held chunk falls due earlier.
TcpProxy::Clock::duration TcpProxy::NextDue() const {
  const auto now = Clock::now();
  Clock::duration wait = std::chrono::milliseconds(5);
  for (const Link& link : links_)
    for (const auto* held : {&link.up, &link.down})
      if (!held->empty()) wait = std::min(wait, std::max(Clock::duration::zero(), held->front().due - now));
  return wait;
}

TcpProxy::TcpProxy(uint16_t targetPort, std::chrono::microseconds delay) : targetPort_(targetPort), delay_(delay) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("TcpProxy: cannot listen");
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TcpProxy::~TcpProxy() {
  stop_ = true;
  thread_.join();
  for (const Link& link : links_) close(link.client), close(link.target);
  close(listener_);
}

std::string TcpProxy::Recorded() const {
  std::lock_guard<std::mutex> lock(recordedMutex_);
  return recorded_;
}

std::string TcpProxy::Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

void TcpProxy::SetFrozen(bool frozen) {
  frozen_ = frozen;
  // Two passes later the thread has started a pass that saw the new flag.
  const uint64_t seen = passes_.load();
  while (passes_.load() < seen + 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TcpProxy::Run() {
  while (!stop_) {
    if (frozen_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else {
      Pass();
    }
    ++passes_;
  }
}

void TcpProxy::Pass() {
  std::vector<pollfd> fds{{listener_, POLLIN, 0}};
  for (const Link& link : links_) fds.insert(fds.end(), {{link.client, POLLIN, 0}, {link.target, POLLIN, 0}});
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(NextDue());
  const timespec timeout{0, static_cast<long>(wait.count())};
  if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0) return;
  for (size_t i = links_.size(); i-- > 0;) {
    Link& link = links_[i];
    const bool up = !fds[1 + 2 * i].revents || Receive(link.client, link.up);
    const bool down = !fds[2 + 2 * i].revents || Receive(link.target, link.down);
    // A link that ends passes on what it still holds at once, then closes.
    const bool over = !(up && down);
    const bool sentUp = Release(link.up, link.target, over);
    const bool sentDown = Release(link.down, link.client, over);
    if (!over && sentUp && sentDown) continue;
    close(link.client), close(link.target);
    links_.erase(links_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (!fds[0].revents) return;
  const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  const int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(targetPort_);
  if (client >= 0 && target >= 0 && connect(target, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    links_.push_back({client, target, {}, {}});
  } else {
    if (client >= 0) close(client);
    if (target >= 0) close(target);
  }
}

}  // namespace ualib_test
