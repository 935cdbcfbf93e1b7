// The state of a session's link: one value, changed only through the transitions
// below (link.cpp). Its lock is a leaf: nothing is called while it is held.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

namespace velk::quarlink::internal {

enum class LinkState {
  // The stack reports the session connected, or nothing has happened since a check.
  Up,
  // The connection state left Connected: once the session is back, the iterator
  // checks whether the stack replaced it (and with it the subscriptions).
  Disturbed,
  // The link stopped answering and its channel is being closed: requests fail at
  // once until the stack reports the session connected again (after its own retry
  // or an attempt of the reconnect cycle).
  Silent,
  // The reconnect cycle gave up: no further cycle starts on this stack client.
  GaveUp,
  // An orderly close: the last Client disconnected or the session is torn down. It
  // lies over the state before it, which an attaching Client brings back.
  Closing,
};

class Link {
 public:
  // Queries.
  bool Closing() const;
  // Requests fail at once (also while a close lies over a silent link).
  bool Silent() const;
  bool GaveUp() const;

  // Transitions.
  // A new stack client is configured: nothing of an earlier one counts.
  void Reset();
  // The stack reported the session connected.
  void StackConnected();
  // The connection state changed to anything but Connected.
  void StackLeftConnected();
  // The session is connected again: true when it was disturbed meanwhile, so the
  // caller compares the session token.
  bool TakeDisturbance();
  // The link stopped answering: true the first time (the caller closes the channel),
  // false while closing or already silent.
  bool Condemn();
  void GiveUp();
  void RequestClose();
  void CancelClose();

  // Something came from the server: a response, a late one, a notification.
  void NoteArrival();
  std::chrono::steady_clock::time_point LastArrival() const;

 private:
  // The state a close lies over, or the state itself.
  LinkState& Underlying();
  LinkState UnderlyingState() const;

  mutable std::mutex mutex_;
  LinkState state_ = LinkState::Up;
  LinkState beforeClose_ = LinkState::Up;  // meaningful while state_ is Closing
  std::atomic<std::chrono::steady_clock::rep> lastArrival_{0};
};

}  // namespace velk::quarlink::internal
