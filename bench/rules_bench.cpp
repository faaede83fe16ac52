// Speed of the rules engine as the search and the random players use it: whole random games,
// move generation at the opening and in mid-game, legal tiles, and copies of a game.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "game.h"
#include "moves.h"

namespace tavlox {
namespace {

constexpr uint32_t kDim = 20;
// Tiles of the mid-game position: about ten pieces per player.
constexpr size_t kMidGameTiles = 160;

// Uniform index below n without modulo bias (multiply-shift with rejection).
uint32_t random_index(std::mt19937_64& rng, uint32_t n) {
  for (;;) {
    const uint64_t product = uint64_t(uint32_t(rng())) * n;
    const uint32_t low = uint32_t(product);
    if (low >= n || low >= uint32_t(-n) % n) return uint32_t(product >> 32);
  }
}

// Plays one uniformly random tile; `tiles` is scratch space.
void play_random_tile(Game& game, std::mt19937_64& rng, std::vector<uint32_t>& tiles) {
  game.legal_tiles(tiles);
  game.apply(tiles[random_index(rng, uint32_t(tiles.size()))]);
}

// A fixed position: random tiles until at least kMidGameTiles are placed and a turn starts.
Game mid_game() {
  std::mt19937_64 rng(2024);
  std::vector<uint32_t> tiles;
  Game game = Game::reset(kDim);
  while (!game.is_terminal() &&
         (game.history().size() < kMidGameTiles || game.tile_moves().chosen_count() != 0)) {
    play_random_tile(game, rng, tiles);
  }
  return game;
}

void BM_RandomGame(benchmark::State& state) {
  std::mt19937_64 rng(7);
  std::vector<uint32_t> tiles;
  uint64_t placed = 0;
  for (auto _ : state) {
    Game game = Game::reset(kDim);
    while (!game.is_terminal()) play_random_tile(game, rng, tiles);
    placed += game.history().size();
    benchmark::DoNotOptimize(game);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.counters["tiles/game"] = double(placed) / double(state.iterations());
}
BENCHMARK(BM_RandomGame)->Unit(benchmark::kMicrosecond);

void BM_TileMovesOpening(benchmark::State& state) {
  const Board board(kDim);
  TurnMoves moves;
  for (auto _ : state) {
    get_tile_moves(board, 0, moves);
    benchmark::DoNotOptimize(moves.moves().data());
  }
  state.counters["moves"] = double(moves.moves().size());
}
BENCHMARK(BM_TileMovesOpening);

void BM_TileMovesMidGame(benchmark::State& state) {
  const Game game = mid_game();
  TurnMoves moves;
  for (auto _ : state) {
    get_tile_moves(game.board(), game.player(), moves);
    benchmark::DoNotOptimize(moves.moves().data());
  }
  state.counters["moves"] = double(moves.moves().size());
  state.counters["tiles placed"] = double(game.history().size());
}
BENCHMARK(BM_TileMovesMidGame);

void BM_LegalTilesMidGame(benchmark::State& state) {
  const Game game = mid_game();
  std::vector<uint32_t> tiles;
  for (auto _ : state) {
    game.legal_tiles(tiles);
    benchmark::DoNotOptimize(tiles.data());
  }
  state.counters["tiles"] = double(tiles.size());
}
BENCHMARK(BM_LegalTilesMidGame);

void BM_CopyMidGame(benchmark::State& state) {
  const Game game = mid_game();
  for (auto _ : state) {
    Game copy = game;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CopyMidGame);

// The search may instead assign into a game it keeps, reusing its buffers.
void BM_AssignMidGame(benchmark::State& state) {
  const Game game = mid_game();
  Game target = game;
  for (auto _ : state) {
    target = game;
    benchmark::DoNotOptimize(target);
  }
}
BENCHMARK(BM_AssignMidGame);

}  // namespace
}  // namespace tavlox

BENCHMARK_MAIN();
