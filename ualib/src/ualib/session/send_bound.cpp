#include "session/send_bound.h"

#include <open62541/plugin/eventloop.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>

namespace velk::quarlink::internal {
namespace {

using Send = UA_StatusCode (*)(UA_ConnectionManager*, uintptr_t, const UA_KeyValueMap*, UA_ByteString*);
using Clock = std::chrono::steady_clock;

// Every client's TCP manager sends through the same stack function; it is kept so
// a manager that is not a socket one still sends its own way.
std::atomic<Send> stackSend{nullptr};
// The request timeout of the clients (the stack's default: the adapter never
// changes it).
std::atomic<uint32_t> sendBoundMs{5000};

constexpr int kPollSliceMs = 100;

// Writes the whole buffer, waiting for room up to the bound; false when the socket
// failed or stayed full.
bool SendAll(int fd, const UA_ByteString& buf) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(sendBoundMs.load());
  size_t written = 0;
  while (written < buf.length) {
    const ssize_t n = ::send(fd, buf.data + written, buf.length - written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (Clock::now() >= deadline) return false;
    pollfd writable{fd, POLLOUT, 0};
    if (::poll(&writable, 1, kPollSliceMs) < 0 && errno != EINTR) return false;
  }
  return true;
}

UA_StatusCode BoundedSend(UA_ConnectionManager* cm, uintptr_t connectionId, const UA_KeyValueMap* /*params*/,
                          UA_ByteString* buf) {
  const bool sent = SendAll(static_cast<int>(connectionId), *buf);
  UA_ByteString_clear(buf);
  if (sent) return UA_STATUSCODE_GOOD;
  cm->closeConnection(cm, connectionId);
  return UA_STATUSCODE_BADCONNECTIONCLOSED;
}

}  // namespace

void BoundSends(UA_Client* client) {
  UA_ClientConfig* config = UA_Client_getConfig(client);
  const UA_String tcp = UA_STRING_STATIC("tcp");
  for (UA_EventSource* source = config->eventLoop ? config->eventLoop->eventSources : nullptr; source;
       source = source->next) {
    if (source->eventSourceType != UA_EVENTSOURCETYPE_CONNECTIONMANAGER) continue;
    auto* manager = reinterpret_cast<UA_ConnectionManager*>(source);
    if (!UA_String_equal(&manager->protocol, &tcp) || manager->sendWithConnection == BoundedSend) continue;
    Send expected = nullptr;
    stackSend.compare_exchange_strong(expected, manager->sendWithConnection);
    if (manager->sendWithConnection != stackSend.load()) continue;  // not the stack's socket send
    sendBoundMs = config->timeout;
    manager->sendWithConnection = BoundedSend;
  }
}

}  // namespace velk::quarlink::internal
