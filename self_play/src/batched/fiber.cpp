#include "fiber.h"

#include <cstdint>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

#include "fault.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define TAVLOX_ASAN_FIBERS 1
#endif

namespace tavlox::self_play {
namespace {

std::size_t page_bytes() {
  return std::size_t(sysconf(_SC_PAGESIZE));
}

}  // namespace

Fiber::Fiber(Body body, void* argument, std::size_t stack_bytes)
    : body_(body), argument_(argument) {
  const std::size_t page = page_bytes();
  stack_bytes_ = (stack_bytes + page - 1) / page * page;
  // One inaccessible page below the stack turns an overflow into a crash at the spot
  // instead of silent corruption of a neighbour.
  mapping_bytes_ = stack_bytes_ + page;
  mapping_ = mmap(nullptr, mapping_bytes_, PROT_READ | PROT_WRITE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping_ == MAP_FAILED) throw std::bad_alloc();
  if (mprotect(mapping_, page, PROT_NONE) != 0) {
    munmap(mapping_, mapping_bytes_);
    throw std::bad_alloc();
  }
  stack_ = static_cast<char*>(mapping_) + page;
  if (getcontext(&context_) != 0) fail("getcontext failed for a new fiber");
  context_.uc_stack.ss_sp = stack_;
  context_.uc_stack.ss_size = stack_bytes_;
  context_.uc_link = nullptr;
  // makecontext passes int arguments only: the object's address travels in two halves.
  const auto address = reinterpret_cast<std::uintptr_t>(this);
  makecontext(&context_, reinterpret_cast<void (*)()>(&Fiber::entry), 2, unsigned(address >> 32),
              unsigned(address & 0xffffffffu));
}

Fiber::~Fiber() {
  munmap(mapping_, mapping_bytes_);
}

void Fiber::entry(unsigned high, unsigned low) {
  auto* fiber = reinterpret_cast<Fiber*>((std::uintptr_t(high) << 32) | std::uintptr_t(low));
#ifdef TAVLOX_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(nullptr, &fiber->caller_stack_, &fiber->caller_stack_bytes_);
#endif
  fiber->body_(fiber->argument_);
  fiber->finished_ = true;
  fiber->switch_out(true);
}

void Fiber::resume() {
  if (finished_) fail("a finished fiber was resumed");
  switch_in();
}

void Fiber::yield() {
  switch_out(false);
}

void Fiber::switch_in() {
#ifdef TAVLOX_ASAN_FIBERS
  void* caller_fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&caller_fake_stack, stack_, stack_bytes_);
#endif
  swapcontext(&caller_, &context_);
#ifdef TAVLOX_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(caller_fake_stack, nullptr, nullptr);
#endif
}

void Fiber::switch_out(bool ending) {
#ifdef TAVLOX_ASAN_FIBERS
  __sanitizer_start_switch_fiber(ending ? nullptr : &fake_stack_, caller_stack_,
                                 caller_stack_bytes_);
#else
  (void)ending;
#endif
  swapcontext(&context_, &caller_);
#ifdef TAVLOX_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(fake_stack_, &caller_stack_, &caller_stack_bytes_);
#endif
}

}  // namespace tavlox::self_play
