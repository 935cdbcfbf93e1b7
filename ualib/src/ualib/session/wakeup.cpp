#include "session/wakeup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <open62541/plugin/eventloop.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "values/ua_types.h"

namespace velk::quarlink::internal {
namespace {

UA_ConnectionManager* FindUdpManager(UA_EventLoop* loop) {
  const UA_String udp = UA_STRING_STATIC("udp");
  for (UA_EventSource* source = loop ? loop->eventSources : nullptr; source; source = source->next) {
    if (source->eventSourceType != UA_EVENTSOURCETYPE_CONNECTIONMANAGER) continue;
    auto* manager = reinterpret_cast<UA_ConnectionManager*>(source);
    if (UA_String_equal(&manager->protocol, &udp) && source->state == UA_EVENTSOURCESTATE_STARTED) return manager;
  }
  return nullptr;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

Wakeup::~Wakeup() {
  if (sender_ >= 0) ::close(sender_);
}

void Wakeup::OnConnection(UA_ConnectionManager* /*cm*/, uintptr_t connectionId, void* application,
                          void** /*connectionContext*/, UA_ConnectionState state, const UA_KeyValueMap* /*params*/,
                          UA_ByteString /*msg*/) {
  // The byte itself means nothing: its arrival already ended the wait.
  if (state != UA_CONNECTIONSTATE_ESTABLISHED || !application) return;
  auto* self = static_cast<Wakeup*>(application);
  if (self->port_.load() != 0) return;
  sockaddr_in bound{};
  socklen_t length = sizeof(bound);
  if (::getsockname(static_cast<int>(connectionId), reinterpret_cast<sockaddr*>(&bound), &length) == 0)
    self->port_.store(ntohs(bound.sin_port));
}

bool Wakeup::Open(UA_Client* client) {
  if (Opened()) return true;
  UA_ConnectionManager* manager = FindUdpManager(UA_Client_getConfig(client)->eventLoop);
  if (!manager) return false;
  if (sender_ < 0) sender_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (sender_ < 0) return false;
  UA_UInt16 anyPort = 0;
  UA_Boolean listen = true;
  UA_String address = UA_STRING_STATIC("127.0.0.1");
  UA_KeyValuePair pairs[3];
  pairs[0].key = UA_QUALIFIEDNAME(0, const_cast<char*>("port"));
  UA_Variant_setScalar(&pairs[0].value, &anyPort, &UA_TYPES[UA_TYPES_UINT16]);
  pairs[1].key = UA_QUALIFIEDNAME(0, const_cast<char*>("listen"));
  UA_Variant_setScalar(&pairs[1].value, &listen, &UA_TYPES[UA_TYPES_BOOLEAN]);
  pairs[2].key = UA_QUALIFIEDNAME(0, const_cast<char*>("address"));
  UA_Variant_setScalar(&pairs[2].value, &address, &UA_TYPES[UA_TYPES_STRING]);
  const UA_KeyValueMap params{3, pairs};
  if (manager->openConnection(manager, &params, this, nullptr, OnConnection) != UA_STATUSCODE_GOOD) return false;
  return Opened();
}

void Wakeup::Wake() const {
  const uint16_t port = port_.load();
  if (port == 0 || sender_ < 0) return;
  const sockaddr_in target = Loopback(port);
  const char byte = 0;
  // A full socket buffer already holds a wake-up that has not been handled.
  (void)::sendto(sender_, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target),
                 sizeof(target));
}

}  // namespace velk::quarlink::internal
