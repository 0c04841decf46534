// Parked threads that run the proxy's sessions and tunnels. A client connection is one job: its
// session and, once the hand-over has succeeded, its tunnel, on one thread from accept to close.
// Threads are reused instead of created per connection, and a job never waits behind a busy
// one: when no parked thread is free, a new one is started.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "proxy/thread_launch.h"

namespace quillon {

// A move-only piece of work for a pool thread.
class PoolJob {
 public:
  template <typename Body>
  explicit PoolJob(Body body) : impl_(std::make_unique<Impl<Body>>(std::move(body))) {}
  void operator()() { impl_->run(); }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void run() = 0;
  };
  template <typename Body>
  struct Impl : Base {
    explicit Impl(Body b) : body(std::move(b)) {}
    void run() override { body(); }
    Body body;
  };
  std::unique_ptr<Base> impl_;
};

// The process's one pool. Its threads are detached and it is never destroyed, so a job may run
// on after the server that submitted it is gone (tunnels outlive stop() and the server).
class WorkerPool {
 public:
  static WorkerPool& instance();

  // Runs `job` on a parked thread, or on a new thread when none is parked. False when none is
  // parked and the system refuses a new thread: `error` says why and `job` is destroyed
  // without having run. Any thread may call it. A job must not throw (a throw is caught and
  // dropped, so that it never ends the process).
  bool run(PoolJob job, ProxyThread kind, std::string& error);

  // How many threads are parked waiting for work / exist at all.
  size_t parkedCount();
  size_t threadCount();

  // At most `maxParked` threads stay parked after their job, each for at most `parkedTime`;
  // the rest end. Threads parked beyond a lowered limit have left when this returns. For tests
  // and tuning.
  struct ParkingLimits {
    size_t maxParked;
    std::chrono::milliseconds parkedTime;
  };
  // Returns the limits that were in force.
  ParkingLimits setParkingLimits(ParkingLimits limits);

 private:
  struct State;
  WorkerPool();
  void workerLoop(PoolJob first);

  State* state_;  // never freed: see the class comment
};

}  // namespace quillon
