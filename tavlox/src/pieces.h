#pragma once

#include <array>
#include <cstdint>
#include <source_location>
#include <span>
#include <string_view>
#include <vector>

namespace tavlox {

constexpr uint32_t kPlayers = 4;
constexpr uint32_t kPieceCount = 21;
constexpr uint32_t kCatalogueCells = 89;
constexpr uint32_t kMaxPieceCells = 5;
constexpr uint32_t kMaxVariants = 8;
constexpr uint32_t kMinDim = 4;
// Tile indices and orientation offsets are stored in 16 bits on the hot paths.
constexpr uint32_t kMaxDim = 256;

// Rows top to bottom, each row left to right; true marks a covered cell.
using Shape = std::vector<std::vector<bool>>;

// A shape from text: rows top to bottom separated by '/', '#' for a covered cell, any other
// character for an empty one, e.g. "##/.#".
Shape parse_shape(std::string_view text);

// One orientation of a piece, laid out for boards of one dimension.
struct PieceVariant {
  PieceVariant(Shape shape, uint32_t dim);

  Shape shape;
  uint32_t width;
  // The rows laid end to end with board stride: the footprint when the bounding box's
  // top-left cell sits at flat index 0.
  std::vector<bool> mask;
  // Indices of the true entries of mask, ascending.
  std::vector<uint32_t> offsets;
};

struct Piece {
  Piece(uint8_t piece_id, uint32_t dim);

  // A quarter turn clockwise.
  static Shape rotate(Shape shape);
  // Left-right mirror image.
  static Shape flip(Shape shape);

  uint32_t piece_id;
  uint32_t size;
  Shape shape;
  std::vector<PieceVariant> variants;
};

// A set of cells of the 9 x 9 window centred on one cell (bit (dr + 4) * 9 + dc + 4 for the
// cell dr rows and dc columns away): every piece fits in the window around any of its cells.
struct WindowMask {
  uint64_t low = 0;
  uint64_t high = 0;

  void set(int32_t dr, int32_t dc) {
    const uint32_t bit = uint32_t((dr + 4) * 9 + dc + 4);
    (bit < 64 ? low : high) |= 1ull << (bit % 64);
  }
  bool intersects(const WindowMask& other) const {
    return ((low & other.low) | (high & other.high)) != 0;
  }
};

// The hot-path form of one orientation: pure index arithmetic.
struct Orientation {
  std::array<uint16_t, kMaxPieceCells> offsets;
  // Row and column of each covered cell within the bounding box.
  std::array<uint8_t, kMaxPieceCells> rows;
  std::array<uint8_t, kMaxPieceCells> cols;
  // For each covered cell i: the covered cells, and the covered cells before i, in the
  // window centred on cell i.
  std::array<WindowMask, kMaxPieceCells> around;
  std::array<WindowMask, kMaxPieceCells> earlier;
  uint8_t size;
  uint8_t width;
  uint8_t height;
  uint16_t mask_length;
};

// The 21 pieces and their orientations for one board dimension. Immutable, built once per
// dimension and shared by every board of that dimension.
class Catalogue {
 public:
  // The catalogue of `dim`, built on first use; fails for a dim outside kMinDim..kMaxDim.
  static const Catalogue& for_dim(uint32_t dim);

  explicit Catalogue(uint32_t dim);
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;

  uint32_t dim() const { return dim_; }
  const Piece& piece(uint32_t piece_id) const { return pieces_[piece_id]; }
  std::span<const Orientation> orientations(uint32_t piece_id) const {
    return {orientations_[piece_id].data(), variant_counts_[piece_id]};
  }

 private:
  uint32_t dim_;
  std::vector<Piece> pieces_;
  std::array<std::array<Orientation, kMaxVariants>, kPieceCount> orientations_{};
  std::array<uint32_t, kPieceCount> variant_counts_{};
};

// Rejects a board dimension the engine cannot represent, before anything is allocated.
void check_dim(uint64_t dim, std::source_location location = std::source_location::current());

}  // namespace tavlox
