#include "proxy/tunnel_wake.h"

namespace quillon {

TunnelWake::TunnelWake() : event_(::WSACreateEvent()) {}

TunnelWake::~TunnelWake() {
  if (event_ != WSA_INVALID_EVENT) ::WSACloseEvent(event_);
}

bool TunnelWake::valid() const { return event_ != WSA_INVALID_EVENT; }

// A manual-reset event that nobody resets: once raised, every later wait returns at once.
void TunnelWake::raise() { ::WSASetEvent(event_); }

// Each socket is read by exactly one direction, so each gets exactly one event association
// (a socket can have only one). Writers wait for writability with select() instead, which
// does not disturb the association.
SourceWatch::SourceWatch(SocketHandle source, const TunnelWake& wake)
    : source_(source), wake_(wake), event_(::WSACreateEvent()) {
  if (event_ != WSA_INVALID_EVENT) {
    selected_ = ::WSAEventSelect(source_, event_, FD_READ | FD_CLOSE) == 0;
  }
}

SourceWatch::~SourceWatch() {
  if (selected_) ::WSAEventSelect(source_, nullptr, 0);
  if (event_ != WSA_INVALID_EVENT) ::WSACloseEvent(event_);
}

bool SourceWatch::valid() const { return selected_; }

bool SourceWatch::wait() {
  WSAEVENT events[2] = {event_, wake_.event_};
  const DWORD result = ::WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
  if (result == WSA_WAIT_FAILED) return false;
  if (result == WSA_WAIT_EVENT_0) {
    // Resets the event. FD_READ is recorded again by the next data once recv() has been called,
    // and the caller calls recv() right after this returns, so nothing is missed.
    WSANETWORKEVENTS happened;
    ::WSAEnumNetworkEvents(source_, event_, &happened);
  }
  return true;
}

}  // namespace quillon
