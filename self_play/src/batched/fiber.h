#pragma once

#include <cstddef>

#include <ucontext.h>

namespace tavlox::self_play {

// A cooperative thread of execution with a stack of its own. The owning OS thread resumes it;
// the fiber runs until it yields or its body returns. A fiber stays on the thread that first
// resumed it: thread-local storage read inside it always belongs to that thread.
//
// This is what lets one search thread play many games through the ordinary blocking drivers:
// a game that asks the network yields to its thread, which runs the next game.
class Fiber {
 public:
  using Body = void (*)(void* argument);

  Fiber(Body body, void* argument, std::size_t stack_bytes = kDefaultStackBytes);
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // From the owning thread: runs the fiber until it yields or finishes. Not after finished().
  void resume();
  // From inside the fiber: returns control to resume()'s caller.
  void yield();
  bool finished() const { return finished_; }

  // Generous, and only what a game touches is ever committed: the pages are reserved lazily.
  static constexpr std::size_t kDefaultStackBytes = std::size_t(1) << 20;

 private:
  static void entry(unsigned high, unsigned low);
  void switch_in();
  void switch_out(bool ending);

  Body body_;
  void* argument_;
  void* mapping_ = nullptr;
  std::size_t mapping_bytes_ = 0;
  char* stack_ = nullptr;
  std::size_t stack_bytes_ = 0;
  ucontext_t context_{};
  ucontext_t caller_{};
  bool finished_ = false;
  // AddressSanitizer's view of the stacks on either side of a switch.
  void* fake_stack_ = nullptr;
  const void* caller_stack_ = nullptr;
  std::size_t caller_stack_bytes_ = 0;
};

}  // namespace tavlox::self_play
