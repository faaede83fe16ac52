#include "batched_engine.h"

#include <algorithm>
#include <ctime>
#include <new>
#include <string_view>

#include "fault.h"
#include "matches.h"

namespace tavlox::self_play {
namespace {

EvaluationError stopped_error() {
  return {"the run was stopped", "the run was stopped"};
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// What a match prints: only an error line matters here, the final board does not.
class CapturedText final : public TextOutput {
 public:
  void write(std::string_view text) override { text_ += text; }
  std::string error() const {
    std::string line = text_.substr(0, text_.find('\n'));
    return line.empty() ? "the match failed" : line;
  }

 private:
  std::string text_;
};

}  // namespace

BatchedEngine::BatchedEngine(const EngineOptions& options) : options_(options) {
  if (auto error = options_error(options_)) fail(*error);
  options_.batch_size = std::min(options_.batch_size, options_.games_in_flight);
  dim_ = board_dim(options_);
  const std::size_t cells = std::size_t(dim_) * dim_;
  plane_bytes_ = std::size_t(kStatePlanes) * cells;

  const std::size_t networks = network_count(options_.kind);
  slots_.resize(networks);
  for (auto& slots : slots_) {
    slots.reserve(options_.slots);
    for (std::size_t i = 0; i < options_.slots; ++i) {
      slots.emplace_back(options_.batch_size, plane_bytes_, cells, kPlayers);
    }
  }
  open_slot_.assign(networks, -1);
  waiting_for_slot_.resize(networks);
  for (auto& waiting : waiting_for_slot_) waiting.reserve(options_.games_in_flight);
  closed_.reserve(networks * options_.slots);
  games_to_start_ = options_.games;

  const std::size_t thread_count = std::min(options_.search_threads, options_.games_in_flight);
  threads_ = std::vector<SearchThread>(thread_count);
  tasks_.reserve(options_.games_in_flight);
  for (std::size_t i = 0; i < options_.games_in_flight; ++i) {
    tasks_.push_back(std::make_unique<GameTask>(*this, i % thread_count, &task_body, dim_));
    ++threads_[i % thread_count].live_tasks;
  }
  for (SearchThread& thread : threads_) thread.runnable.reserve(thread.live_tasks);
  for (auto& task : tasks_) threads_[task->thread].runnable.push_back(task.get());
  runnable_tasks_ = tasks_.size();
  busy_threads_ = running_threads_ = thread_count;
  for (std::size_t i = 0; i < thread_count; ++i) {
    try {
      threads_[i].thread = std::thread([this, i] { run_thread(i); });
    } catch (...) {
      std::unique_lock lock(mutex_);
      // Threads never started count as ended; the started ones are stopped and joined.
      busy_threads_ -= thread_count - i;
      running_threads_ -= thread_count - i;
      for (std::size_t j = i; j < thread_count; ++j) threads_[j].live_tasks = 0;
      lock.unlock();
      stop();
      throw;
    }
  }
}

BatchedEngine::~BatchedEngine() {
  stop();
}

// ---- the caller's side ----

BatchedEngine::Wait BatchedEngine::wait_batch(std::chrono::milliseconds timeout, Batch& batch) {
  std::unique_lock lock(mutex_);
  caller_wake_.wait_for(lock, timeout, [&] { return !closed_.empty() || running_threads_ == 0; });
  if (!closed_.empty()) {
    batch = closed_.front();
    closed_.erase(closed_.begin());
    slots_[batch.network][batch.slot].state = BatchSlot::State::kEvaluating;
    return Wait::kBatch;
  }
  return running_threads_ == 0 ? Wait::kDone : Wait::kTimeout;
}

void BatchedEngine::submit(const Batch& batch) {
  std::unique_lock lock(mutex_);
  if (batch.network >= slots_.size() || batch.slot >= slots_[batch.network].size()) {
    fail("no batch " + std::to_string(batch.slot) + " of network " + std::to_string(batch.network));
  }
  BatchSlot& slot = slots_[batch.network][batch.slot];
  if (cancelled_) return;
  if (slot.state != BatchSlot::State::kEvaluating) fail("this batch was not handed out");
  const std::size_t rows = slot.written;
  lock.unlock();

  // The slot belongs to the caller until it is reopened, and its games are all suspended:
  // their replies can be filled without the lock.
  const std::size_t cells = std::size_t(dim_) * dim_;
  for (std::size_t row = 0; row < rows; ++row) {
    NetworkOutput& reply = slot.waiters[row]->reply;
    const float* policy = slot.policy_logits.data() + row * cells;
    const float* values = slot.value_logits.data() + row * kPlayers;
    std::copy(policy, policy + cells, reply.policy_logits.begin());
    std::copy(values, values + kPlayers, reply.value_logits.begin());
  }

  lock.lock();
  if (cancelled_) return;
  for (std::size_t row = 0; row < rows; ++row) {
    make_runnable_locked(*slot.waiters[row]);
    slot.waiters[row] = nullptr;
  }
  slot.state = BatchSlot::State::kFilling;
  slot.reserved = slot.written = 0;
  stats_.evaluations += rows;
  stats_.batches += 1;
  auto& waiting = waiting_for_slot_[batch.network];
  for (GameTask* task : waiting) make_runnable_locked(*task);
  waiting.clear();
}

std::vector<FinishedGame> BatchedEngine::take_finished() {
  std::vector<FinishedGame> games;
  std::unique_lock lock(mutex_);
  games.swap(finished_);
  return games;
}

void BatchedEngine::stop() {
  {
    std::unique_lock lock(mutex_);
    cancel_locked();
  }
  for (SearchThread& thread : threads_) {
    if (thread.thread.joinable()) thread.thread.join();
  }
}

std::optional<std::string> BatchedEngine::fault() const {
  std::unique_lock lock(mutex_);
  return fault_;
}

EngineStats BatchedEngine::stats() const {
  std::unique_lock lock(mutex_);
  return stats_;
}

// ---- the games' side ----

std::optional<EvaluationError> BatchedEngine::request(GameTask& task, uint32_t network,
                                                      const Game& game) {
  std::unique_lock lock(mutex_);
  BatchSlot* slot = nullptr;
  while (true) {
    if (cancelled_) {
      task.cancelled = true;
      return stopped_error();
    }
    slot = open_slot_locked(network);
    if (slot != nullptr) break;
    // Every buffer of this network is full or with the caller: wait for one to reopen.
    waiting_for_slot_[network].push_back(&task);
    lock.unlock();
    task.fiber.yield();
    lock.lock();
  }
  const std::size_t row = slot->reserved++;
  lock.unlock();
  game.write_game_state(false, slot->planes.data() + row * plane_bytes_);
  lock.lock();
  if (cancelled_) {
    task.cancelled = true;
    return stopped_error();
  }
  slot->waiters[row] = &task;
  if (++slot->written == slot->capacity()) {
    close_slot_locked(network, uint32_t(slot - slots_[network].data()));
  }
  lock.unlock();
  task.fiber.yield();
  if (task.cancelled) return stopped_error();
  return std::nullopt;
}

void BatchedEngine::task_body(void* argument) {
  auto& task = *static_cast<GameTask*>(argument);
  task.engine.play_games(task);
}

// Nothing may leave a fiber's body but a normal return.
void BatchedEngine::play_games(GameTask& task) {
  try {
    while (const auto index = claim_game()) {
      FinishedGame game = play(task, *index);
      if (task.cancelled) return;
      finish_game(std::move(game));
    }
  } catch (const Fault& fault) {
    record_fault(fault.what());
  } catch (const std::bad_alloc&) {
    record_fault("out of memory");
  } catch (const std::exception& error) {
    record_fault(error.what());
  } catch (...) {
    record_fault("unknown error");
  }
}

FinishedGame BatchedEngine::play(GameTask& task, uint64_t index) {
  Rng rng = Rng::seeded(options_.seed, index);
  FinishedGame game;
  game.index = index;
  CapturedText text;
  switch (options_.kind) {
    case JobKind::kTraining: {
      auto result = training_game(task.evaluators[0], options_.config, options_.search, rng);
      if (auto* error = std::get_if<std::string>(&result)) {
        game.error = std::move(*error);
      } else {
        game.record = std::move(std::get<TrainingRecord>(result));
      }
      break;
    }
    case JobKind::kAgainstRandom: {
      const MatchPlay match{options_.config, options_.search, options_.match};
      const auto result = against_reference_game(task.evaluators[0], match, index, rng, text);
      if (const float* payoff = std::get_if<float>(&result)) {
        game.payoff = *payoff;
      } else {
        game.error = text.error();
      }
      break;
    }
    case JobKind::kAgainstBaseline: {
      auto result = test_game(task.evaluators[0], task.evaluators[1], rng, text);
      if (const float* payoff = std::get_if<float>(&result)) {
        game.payoff = *payoff;
      } else {
        game.error = text.error();
      }
      break;
    }
    case JobKind::kHeadToHead: {
      const MatchPlay match{options_.config, options_.search, options_.match};
      auto result =
          head_to_head_game(task.evaluators[0], task.evaluators[1], match, index, rng, text);
      if (const float* payoff = std::get_if<float>(&result)) {
        game.payoff = *payoff;
      } else {
        game.error = text.error();
      }
      break;
    }
  }
  return game;
}

std::optional<uint64_t> BatchedEngine::claim_game() {
  std::unique_lock lock(mutex_);
  if (cancelled_ || next_game_ >= games_to_start_) return std::nullopt;
  const uint64_t position = next_game_++;
  if (position >= options_.games) return kReplacementGames + position;
  return options_.game_numbers.empty() ? position : options_.game_numbers[position];
}

void BatchedEngine::finish_game(FinishedGame&& game) {
  std::unique_lock lock(mutex_);
  if (game.error.empty()) {
    ++stats_.games_finished;
  } else if (++stats_.games_failed > options_.max_failed_games) {
    if (!fault_) {
      fault_ = std::to_string(stats_.games_failed) + " games failed, the last with: " + game.error;
    }
    cancel_locked();
  } else {
    ++games_to_start_;  // a failed game is replaced
  }
  finished_.push_back(std::move(game));
}

void BatchedEngine::record_fault(const std::string& message) {
  std::unique_lock lock(mutex_);
  if (!fault_) fault_ = message;
  cancel_locked();
}

// ---- the search threads ----

void BatchedEngine::run_thread(std::size_t index) {
  const double cpu_start = thread_cpu_seconds();
  SearchThread& self = threads_[index];
  std::vector<GameTask*> batch;
  batch.reserve(self.live_tasks);
  std::unique_lock lock(mutex_);
  while (self.live_tasks > 0) {
    if (self.runnable.empty()) {
      --busy_threads_;
      if (idle_locked()) close_partial_slots_locked();
      self.wake.wait(lock, [&] { return !self.runnable.empty(); });
      ++busy_threads_;
    }
    batch.swap(self.runnable);
    runnable_tasks_ -= batch.size();
    lock.unlock();
    std::size_t finished = 0;
    run_tasks(batch, finished);
    lock.lock();
    self.live_tasks -= finished;
  }
  --busy_threads_;
  --running_threads_;
  if (idle_locked()) close_partial_slots_locked();
  stats_.search_cpu_seconds += thread_cpu_seconds() - cpu_start;
  caller_wake_.notify_all();
}

void BatchedEngine::run_tasks(std::vector<GameTask*>& tasks, std::size_t& finished) {
  for (GameTask* task : tasks) {
    task->fiber.resume();
    if (task->fiber.finished()) ++finished;
  }
  tasks.clear();
}

// ---- with the lock held ----

BatchSlot* BatchedEngine::open_slot_locked(uint32_t network) {
  auto& slots = slots_[network];
  int& open = open_slot_[network];
  if (open >= 0 && slots[std::size_t(open)].reserved < slots[std::size_t(open)].capacity()) {
    return &slots[std::size_t(open)];
  }
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].state == BatchSlot::State::kFilling && slots[i].reserved == 0) {
      open = int(i);
      return &slots[i];
    }
  }
  return nullptr;
}

void BatchedEngine::close_slot_locked(uint32_t network, uint32_t slot) {
  slots_[network][slot].state = BatchSlot::State::kReady;
  closed_.push_back({network, slot, slots_[network][slot].written});
  if (open_slot_[network] == int(slot)) open_slot_[network] = -1;
  caller_wake_.notify_one();
}

// When no game can run, no open batch can grow until the caller answers: close them all.
void BatchedEngine::close_partial_slots_locked() {
  for (uint32_t network = 0; network < slots_.size(); ++network) {
    for (uint32_t slot = 0; slot < slots_[network].size(); ++slot) {
      const BatchSlot& candidate = slots_[network][slot];
      if (candidate.state == BatchSlot::State::kFilling && candidate.written > 0) {
        close_slot_locked(network, slot);
      }
    }
  }
}

bool BatchedEngine::idle_locked() const {
  return busy_threads_ == 0 && runnable_tasks_ == 0;
}

void BatchedEngine::make_runnable_locked(GameTask& task) {
  SearchThread& thread = threads_[task.thread];
  thread.runnable.push_back(&task);
  ++runnable_tasks_;
  thread.wake.notify_one();
}

// Every waiting game is woken with `cancelled` set; it unwinds through its driver's error
// path, claims no further game, and its fiber ends.
void BatchedEngine::cancel_locked() {
  if (cancelled_) return;
  cancelled_ = true;
  for (auto& slots : slots_) {
    for (BatchSlot& slot : slots) {
      for (std::size_t row = 0; row < slot.reserved; ++row) {
        if (slot.waiters[row] == nullptr) continue;
        slot.waiters[row]->cancelled = true;
        make_runnable_locked(*slot.waiters[row]);
      }
      // A batch with the caller keeps its rows: submit may still be reading them.
      if (slot.state == BatchSlot::State::kEvaluating) continue;
      std::fill(slot.waiters.begin(), slot.waiters.end(), nullptr);
      slot.state = BatchSlot::State::kFilling;
      slot.reserved = slot.written = 0;
    }
  }
  closed_.clear();
  for (auto& waiting : waiting_for_slot_) {
    for (GameTask* task : waiting) {
      task->cancelled = true;
      make_runnable_locked(*task);
    }
    waiting.clear();
  }
  caller_wake_.notify_all();
}

}  // namespace tavlox::self_play
