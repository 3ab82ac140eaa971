#pragma once
// Work-in-flight accounting between the updater under test and the simulator.
//
// Tests of the updater run on a virtual clock that may move on only while no
// work is in flight between threads. Every byte that travels between the two
// sides is therefore counted from the moment it is handed on until the
// receiving side has completely dealt with it:
//
//  - The updater calls Add(n) before it sends n bytes to the simulator (TCP
//    stream or UDP datagram).
//  - The simulator calls Done(k) for bytes it has read once it has completely
//    handled them, including every send they caused. Bytes of an incomplete
//    frame count as handled once they are buffered; bytes that arrive after
//    the simulator dropped the link are read, discarded and released.
//  - Every send of the simulator (replies, and bytes a test asks it to send)
//    calls Add(m) before the bytes go on the socket; the updater's receiver
//    calls Done(m) when it has queued them. Bytes that the simulator could
//    not put on the socket because the link went away are released by the
//    simulator itself.
//  - A link drop by the simulator calls Add(1) before the connection is
//    closed; the updater calls Done(1) when it notices the end of the stream.
//    (When the updater closed the connection first, the simulator releases
//    that unit itself.)
//
// So Add always comes before the matching Done, and a reply's Add comes before
// the Done of the request that caused it: the count never touches zero while
// an exchange is still under way.
//
// The tracker is optional everywhere (nullptr: no accounting). It is called
// from the simulator's I/O threads and from the threads of tests that ask the
// simulator to send; an implementation must be thread-safe.

#include <cstdint>

namespace nimbrel::sim {

struct WorkTracker {
  virtual ~WorkTracker() = default;
  virtual void Add(std::int64_t n) = 0;
  virtual void Done(std::int64_t n) = 0;
};

}  // namespace nimbrel::sim
