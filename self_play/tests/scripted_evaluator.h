#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "config.h"
#include "evaluator.h"
#include "game.h"
#include "matches.h"

namespace tavlox::self_play::test_support {

// Answers every position with logits chosen by the test, counts the calls, and can fail
// from a given call on.
class ScriptedEvaluator : public Evaluator {
 public:
  using Script = std::function<void(const Game&, NetworkOutput&)>;

  explicit ScriptedEvaluator(Script script = uniform) : script_(std::move(script)) {}

  // Every call from the `calls`-th on (counting from 0) returns `error`.
  void fail_from(int calls, EvaluationError error) {
    fail_from_ = calls;
    error_ = std::move(error);
  }
  int calls() const { return calls_; }

  std::optional<EvaluationError> infer(const Game& game, NetworkOutput& out) override {
    const int call = calls_++;
    if (error_ && call >= fail_from_) return error_;
    script_(game, out);
    return std::nullopt;
  }

  // Equal logits everywhere: a uniform policy over the legal tiles and equal values.
  static void uniform(const Game& game, NetworkOutput& out) {
    out.policy_logits.assign(size_t(game.dim()) * game.dim(), 0.0f);
    out.value_logits.assign(4, 0.0f);
  }

 private:
  Script script_;
  std::optional<EvaluationError> error_;
  int fail_from_ = 0;
  int calls_ = 0;
};

inline EvaluationError pipe_error() {
  return {"EOFError: pipe \"closed\"",
          "EOFError(value=EOFError('pipe \"closed\"'), traceback=None)"};
}

class CapturingOutput : public TextOutput {
 public:
  void write(std::string_view text) override { text_ += text; }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// A configuration for tests: standard search constants, `sims` simulations per move.
inline Config test_config(size_t dim, size_t sims, size_t sample_moves = 0) {
  Config config{};
  config.dim = dim;
  config.rep = 1;
  config.sims_per_move = sims;
  config.sample_moves = sample_moves;
  config.c_base = 19652.0f;
  config.c_init = 1.25f;
  config.dirichlet_alpha = 0.3f;
  config.exploration_fraction = 0.25f;
  return config;
}

inline Rng seeded_rng(uint32_t seed) {
  return Rng({seed, 1, 2, 3, 4, 5, 6, 7});
}

// Plays the first legal tile until `done` holds (or the game ends).
template <typename Done>
void play_until(Game& game, Done&& done) {
  while (!game.is_terminal() && !done(game)) {
    ASSERT_FALSE(game.apply(game.get_legal_tiles().front()).has_value());
  }
}

}  // namespace tavlox::self_play::test_support
