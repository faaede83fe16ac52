#include "oracle.h"

#include <algorithm>

namespace tavlox::testing {
namespace {

// Per-cell facts about one player's own cells, from owners only (bytes used as booleans).
struct Neighbourhood {
  std::vector<uint8_t> empty;
  std::vector<uint8_t> touches_own_edge;
  std::vector<uint8_t> touches_own_corner;
  bool has_own_cells = false;
};

Neighbourhood neighbourhood(const Board& board, uint32_t player) {
  const int dim = int(board.dim());
  const size_t n = size_t(dim) * size_t(dim);
  Neighbourhood hood{std::vector<uint8_t>(n), std::vector<uint8_t>(n), std::vector<uint8_t>(n),
                     false};
  auto owns = [&](int r, int c) {
    return r >= 0 && r < dim && c >= 0 && c < dim && owner_of(board, r * dim + c) == int(player);
  };
  for (int r = 0; r < dim; ++r) {
    for (int c = 0; c < dim; ++c) {
      const size_t pos = size_t(r * dim + c);
      hood.empty[pos] = owner_of(board, uint32_t(pos)) < 0;
      hood.has_own_cells = hood.has_own_cells || owns(r, c);
      hood.touches_own_edge[pos] =
          owns(r - 1, c) || owns(r + 1, c) || owns(r, c - 1) || owns(r, c + 1);
      hood.touches_own_corner[pos] =
          owns(r - 1, c - 1) || owns(r - 1, c + 1) || owns(r + 1, c - 1) || owns(r + 1, c + 1);
    }
  }
  return hood;
}

bool is_legal(const Neighbourhood& hood, std::span<const uint32_t> cells, uint32_t start) {
  bool anchored = false;
  for (uint32_t cell : cells) {
    if (!hood.empty[cell] || hood.touches_own_edge[cell]) return false;
    anchored = anchored || (hood.has_own_cells ? hood.touches_own_corner[cell] : cell == start);
  }
  return anchored;
}

}  // namespace

int owner_of(const Board& board, uint32_t pos) {
  return int(board.cell(pos) & 0x0F) - 1;
}

uint32_t oracle_start_cell(uint32_t player, uint32_t dim) {
  const uint32_t last = dim - 1;
  const std::array<std::array<uint32_t, 2>, kPlayers> row_col = {
      {{0, 0}, {0, last}, {last, last}, {last, 0}}};
  return row_col[player][0] * dim + row_col[player][1];
}

std::vector<OracleMove> oracle_legal_moves(const Board& board, uint32_t player,
                                           std::span<const uint32_t> piece_ids) {
  const uint32_t dim = board.dim();
  const Neighbourhood hood = neighbourhood(board, player);
  const uint32_t start = oracle_start_cell(player, dim);
  std::vector<OracleMove> moves;
  for (uint32_t k = 0; k < piece_ids.size(); ++k) {
    const Piece& piece = board.catalogue().piece(piece_ids[k]);
    for (uint32_t v = 0; v < piece.variants.size(); ++v) {
      const Shape& shape = piece.variants[v].shape;
      const uint32_t height = uint32_t(shape.size());
      const uint32_t width = uint32_t(shape[0].size());
      std::vector<std::array<uint32_t, 2>> shape_cells;
      for (uint32_t i = 0; i < height; ++i) {
        for (uint32_t j = 0; j < width; ++j) {
          if (shape[i][j]) shape_cells.push_back({i, j});
        }
      }
      for (uint32_t r = 0; r + height <= dim; ++r) {
        for (uint32_t c = 0; c + width <= dim; ++c) {
          std::array<uint32_t, kMaxPieceCells> cells{};
          for (size_t i = 0; i < shape_cells.size(); ++i) {
            cells.at(i) = (r + shape_cells[i][0]) * dim + c + shape_cells[i][1];
          }
          const std::span<const uint32_t> covered(cells.data(), shape_cells.size());
          if (is_legal(hood, covered, start)) {
            moves.push_back({k, v, r * dim + c, {covered.begin(), covered.end()}});
          }
        }
      }
    }
  }
  std::sort(moves.begin(), moves.end());
  return moves;
}

Scores oracle_scores(const Board& board, const std::array<uint32_t, kPlayers>& pieces_left,
                     const PieceSizes& last_piece_sizes) {
  Scores scores{};
  for (uint32_t p = 0; p < kPlayers; ++p) {
    int32_t cells = 0;
    for (uint32_t pos = 0; pos < board.cell_count(); ++pos) cells += owner_of(board, pos) == int(p);
    int32_t bonus = 0;
    if (pieces_left[p] == 0) bonus = last_piece_sizes[p] == 1 ? 20 : 15;
    scores[p] = cells - 89 + bonus;
  }
  return scores;
}

Payoff oracle_payoff(const Scores& scores) {
  const int32_t best = *std::max_element(scores.begin(), scores.end());
  const auto winners = std::count(scores.begin(), scores.end(), best);
  Payoff payoff{};
  for (uint32_t p = 0; p < kPlayers; ++p) {
    if (scores[p] == best) payoff[p] = 1.0f / float(winners);
  }
  return payoff;
}

}  // namespace tavlox::testing
