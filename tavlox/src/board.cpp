#include "board.h"

#include <iostream>

#include "fault.h"

namespace tavlox {
namespace {

constexpr std::array<const char*, 5> kGlyphs = {"\u2B1C", "\U0001F7E5", "\U0001F7E6", "\U0001F7E8",
                                                "\U0001F7E9"};

}  // namespace

uint32_t Board::start_cell(uint32_t player, uint32_t dim) {
  switch (player) {
    case 0:
      return 0;
    case 1:
      return dim - 1;
    case 2:
      return dim * dim - 1;
    case 3:
      return dim * (dim - 1);
    default:
      fail("Invalid player number");
  }
}

Board::Board(uint32_t dim)
    : catalogue_(&Catalogue::for_dim(dim)),
      dim_(dim),
      piece_counts_{kPieceCount, kPieceCount, kPieceCount, kPieceCount},
      diagonals_{int32_t(dim + 1), -int32_t(dim + 1), 1 - int32_t(dim), int32_t(dim) - 1},
      cells_(dim * dim, 0),
      corner_bits_(dim * dim, 0) {
  for (auto& pieces : pieces_) {
    for (uint32_t id = 0; id < kPieceCount; ++id) pieces[id] = uint8_t(id);
  }
  for (uint32_t player = 0; player < kPlayers; ++player)
    set_corner(player, start_cell(player, dim));
}

bool Board::is_valid_move(uint32_t player, const Orientation& variant, uint32_t pos) const {
  if (uint64_t(pos) + variant.mask_length > cell_count()) return false;
  if (pos % dim_ + variant.width > dim_) return false;
  // A player number above 3 has no blocked bit; it faults at the anchor test below.
  const uint8_t blocked = player < kPlayers ? blocked_bit(player) : 0;
  for (uint32_t i = 0; i < variant.size; ++i) {
    if (cells_[pos + variant.offsets[i]] & blocked) return false;
  }
  check_index(player, kPlayers);
  for (uint32_t i = 0; i < variant.size; ++i) {
    if (is_corner(player, pos + variant.offsets[i])) return true;
  }
  return false;
}

void Board::place_tile(uint32_t pos, uint32_t player) {
  check_index(pos, cell_count());
  check_index(player, kPlayers);
  cells_[pos] = uint8_t((player + 1) | kAllBlocked);
  corner_bits_[pos] = 0;
  const uint8_t bit = blocked_bit(player);
  const uint32_t col = pos % dim_;
  auto block = [&](uint32_t neighbour) {
    cells_[neighbour] |= bit;
    clear_corner(player, neighbour);
  };
  if (col > 0) block(pos - 1);
  if (col < dim_ - 1) block(pos + 1);
  if (pos >= dim_) block(pos - dim_);
  if (pos < dim_ * (dim_ - 1)) block(pos + dim_);
  for (int32_t d : diagonals_) {
    const int64_t q = int64_t(pos) + d;
    if (q < 0 || q >= int64_t(cell_count())) continue;
    const uint32_t diagonal = uint32_t(q);
    if (cells_[diagonal] & bit) continue;
    const uint32_t qcol = diagonal % dim_;
    if ((col == 0 && qcol == dim_ - 1) || (col == dim_ - 1 && qcol == 0)) continue;
    set_corner(player, diagonal);
  }
}

Scores Board::get_scores(const PieceSizes& last_piece_sizes) const {
  std::array<int32_t, kPlayers + 1> counts{};
  for (uint8_t cell : cells_) {
    const uint8_t owner = cell & kOwnerMask;
    if (owner <= kPlayers) ++counts[owner];
  }
  Scores scores{};
  for (uint32_t p = 0; p < kPlayers; ++p) {
    scores[p] = counts[p + 1] - int32_t(kCatalogueCells);
    if (piece_counts_[p] == 0) scores[p] += last_piece_sizes[p] == 1 ? 20 : 15;
  }
  return scores;
}

void Board::write_rep(bool channels_last, uint32_t player, uint8_t* out, uint32_t stride) const {
  check_index(player, kPlayers);
  const uint32_t n = cell_count();
  if (channels_last) {
    for (uint32_t pos = 0; pos < n; ++pos) {
      uint8_t* entry = out + size_t(pos) * stride;
      for (uint32_t k = 0; k < kPlayers; ++k) entry[k] = 0;
      const uint32_t owner = cells_[pos] & kOwnerMask;
      if (owner != 0) entry[(owner - 1 + kPlayers - player) % kPlayers] = 1;
    }
    return;
  }
  std::fill(out, out + size_t(kPlayers) * n, uint8_t{0});
  for (uint32_t pos = 0; pos < n; ++pos) {
    const uint32_t owner = cells_[pos] & kOwnerMask;
    if (owner != 0) out[size_t((owner - 1 + kPlayers - player) % kPlayers) * n + pos] = 1;
  }
}

std::vector<uint8_t> Board::get_rep(bool channels_last, uint32_t player) const {
  std::vector<uint8_t> rep(size_t(kPlayers) * cell_count());
  write_rep(channels_last, player, rep.data());
  return rep;
}

std::string Board::render() const {
  std::string text;
  text.reserve(size_t(cell_count()) * 4 + dim_ + 1);
  for (uint32_t r = 0; r < dim_; ++r) {
    for (uint32_t c = 0; c < dim_; ++c) {
      const uint32_t owner = cells_[r * dim_ + c] & kOwnerMask;
      text += kGlyphs[owner <= kPlayers ? owner : 0];
    }
    text += '\n';
  }
  text += '\n';
  return text;
}

void Board::print_board() const {
  std::cout << render() << std::flush;
}

std::vector<uint32_t> Board::corners(uint32_t player) const {
  check_index(player, kPlayers);
  std::vector<uint32_t> result;
  for_each_corner(player, [&](uint32_t pos) { result.push_back(pos); });
  return result;
}

void Board::remove_piece(uint32_t player, uint32_t index) {
  check_index(player, kPlayers);
  check_index(index, piece_counts_[player]);
  auto& pieces = pieces_[player];
  for (uint32_t k = index; k + 1 < piece_counts_[player]; ++k) pieces[k] = pieces[k + 1];
  --piece_counts_[player];
}

}  // namespace tavlox
