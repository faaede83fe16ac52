#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "batch_slot.h"
#include "engine_options.h"
#include "game_task.h"
#include "training_game.h"

namespace tavlox::self_play {

// The outcome of one game of the run, numbered in the order games were started.
struct FinishedGame {
  uint64_t index = 0;
  // Empty for a finished game; the driver's error text for a failed one.
  std::string error;
  TrainingRecord record;  // training games
  float payoff = 0.0f;    // matches: network 0's payoff
};

struct EngineStats {
  uint64_t evaluations = 0;
  uint64_t batches = 0;
  uint64_t games_finished = 0;
  uint64_t games_failed = 0;
  // CPU time of the search threads (search, encoding, reading answers), in seconds, counted
  // when each thread ends.
  double search_cpu_seconds = 0.0;
};

// Plays many games at once on a few threads and gathers the positions they want evaluated
// into batches. Every game runs the same drivers as a single game does, as a fiber that
// yields while its position waits in a batch.
//
// The caller (one thread) loops: wait_batch, evaluate the batch's planes with the network,
// write the logits into the batch's buffers, submit. Search threads never call back into
// the caller. All methods are safe to call from that one thread while the search runs.
class BatchedEngine {
 public:
  struct Batch {
    uint32_t network = 0;
    uint32_t slot = 0;
    std::size_t rows = 0;
  };
  enum class Wait { kBatch, kTimeout, kDone };

  // Starts the search threads; throws tavlox::Fault on invalid options.
  explicit BatchedEngine(const EngineOptions& options);
  // Stops and joins.
  ~BatchedEngine();
  BatchedEngine(const BatchedEngine&) = delete;
  BatchedEngine& operator=(const BatchedEngine&) = delete;

  // Waits up to `timeout` for a closed batch. kDone: every game has ended (or the run was
  // stopped) and no batch is left.
  Wait wait_batch(std::chrono::milliseconds timeout, Batch& batch);
  // Hands the logits written into `batch`'s buffers back to its games.
  void submit(const Batch& batch);
  std::vector<FinishedGame> take_finished();
  // Ends the run: games in flight are abandoned, and this returns once every search
  // thread has ended. Finished games stay available to take_finished.
  void stop();
  // The fault that ended the run early, if one did.
  std::optional<std::string> fault() const;
  EngineStats stats() const;

  const EngineOptions& options() const { return options_; }
  uint32_t dim() const { return dim_; }
  std::size_t networks() const { return slots_.size(); }
  BatchSlot& slot(uint32_t network, uint32_t slot) { return slots_.at(network).at(slot); }

  // For the games' evaluators, from inside their fibers.
  std::optional<EvaluationError> request(GameTask& task, uint32_t network, const Game& game);

 private:
  struct SearchThread {
    std::vector<GameTask*> runnable;
    std::condition_variable wake;
    std::size_t live_tasks = 0;
    std::thread thread;
  };

  static void task_body(void* argument);
  void play_games(GameTask& task);
  FinishedGame play(GameTask& task, uint64_t index);
  std::optional<uint64_t> claim_game();
  void finish_game(FinishedGame&& game);
  void record_fault(const std::string& message);

  void run_thread(std::size_t index);
  void run_tasks(std::vector<GameTask*>& tasks, std::size_t& finished);
  // With the lock held:
  BatchSlot* open_slot_locked(uint32_t network);
  void close_slot_locked(uint32_t network, uint32_t slot);
  void close_partial_slots_locked();
  void make_runnable_locked(GameTask& task);
  void cancel_locked();
  bool idle_locked() const;

  EngineOptions options_;
  uint32_t dim_;
  std::size_t plane_bytes_;

  mutable std::mutex mutex_;
  std::condition_variable caller_wake_;
  std::vector<std::vector<BatchSlot>> slots_;
  std::vector<int> open_slot_;  // per network: the slot taking requests, or -1
  std::vector<std::vector<GameTask*>> waiting_for_slot_;
  std::vector<Batch> closed_;
  std::vector<std::unique_ptr<GameTask>> tasks_;
  std::vector<SearchThread> threads_;
  std::size_t busy_threads_ = 0;
  std::size_t runnable_tasks_ = 0;
  std::size_t running_threads_ = 0;
  uint64_t next_game_ = 0;
  uint64_t games_to_start_ = 0;
  bool cancelled_ = false;
  std::optional<std::string> fault_;
  std::vector<FinishedGame> finished_;
  EngineStats stats_;
};

}  // namespace tavlox::self_play
