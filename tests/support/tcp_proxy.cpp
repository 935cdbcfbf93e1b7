#include "tcp_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Moves what is readable from one socket to the other; false once the link is over.
bool TcpProxy::Forward(int from, int to) {
  char buffer[65536];
  const ssize_t count = recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
  if (count < 0) return errno == EAGAIN || errno == EINTR;
  if (count > 0 && recording_) {
    std::lock_guard<std::mutex> lock(recordedMutex_);
    recorded_.append(buffer, static_cast<size_t>(count));
  }
  for (ssize_t sent = 0; sent < count;) {
    const ssize_t n = send(to, buffer + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += n;
  }
  return count > 0;
}

TcpProxy::TcpProxy(uint16_t targetPort) : targetPort_(targetPort) {
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
  for (const auto& [client, target] : links_) close(client), close(target);
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
  for (const auto& [client, target] : links_) fds.insert(fds.end(), {{client, POLLIN, 0}, {target, POLLIN, 0}});
  if (poll(fds.data(), fds.size(), 5) <= 0) return;
  for (size_t i = links_.size(); i-- > 0;) {
    const auto [client, target] = links_[i];
    const bool up = !fds[1 + 2 * i].revents || Forward(client, target);
    const bool down = !fds[2 + 2 * i].revents || Forward(target, client);
    if (up && down) continue;
    close(client), close(target);
    links_.erase(links_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (!fds[0].revents) return;
  const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  const int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(targetPort_);
  if (client >= 0 && target >= 0 && connect(target, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    links_.emplace_back(client, target);
  } else {
    if (client >= 0) close(client);
    if (target >= 0) close(target);
  }
}

}  // namespace ualib_test
