#include "pieces.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "fault.h"

namespace tavlox {
namespace {

// Base shapes in catalogue order; rows separated by '/'.
constexpr std::array<std::string_view, kPieceCount> kBaseShapes = {
    "#",           "##",          "##/.#",       "###",         "####",      "##/#./#.",
    "###/.#.",     "##/##",       "##./.##",     "#####",       "####/#...", "###./..##",
    "###/##.",     "###/#../#..", "##./.##/..#", "##./.#./.##", "###/#.#",   "####/.#..",
    ".#./###/.#.", ".#./###/#..", "###/.#./.#.",
};

Orientation to_orientation(const PieceVariant& variant) {
  Orientation orientation{};
  orientation.size = static_cast<uint8_t>(variant.offsets.size());
  orientation.width = static_cast<uint8_t>(variant.width);
  orientation.height = static_cast<uint8_t>(variant.shape.size());
  orientation.mask_length = static_cast<uint16_t>(variant.mask.size());
  uint32_t i = 0;
  for (size_t r = 0; r < variant.shape.size(); ++r) {
    for (size_t c = 0; c < variant.shape[r].size(); ++c) {
      if (!variant.shape[r][c]) continue;
      orientation.offsets[i] = static_cast<uint16_t>(variant.offsets[i]);
      orientation.rows[i] = static_cast<uint8_t>(r);
      orientation.cols[i] = static_cast<uint8_t>(c);
      ++i;
    }
  }
  for (uint32_t centre = 0; centre < orientation.size; ++centre) {
    for (uint32_t j = 0; j < orientation.size; ++j) {
      const int32_t dr = int32_t(orientation.rows[j]) - orientation.rows[centre];
      const int32_t dc = int32_t(orientation.cols[j]) - orientation.cols[centre];
      orientation.around[centre].set(dr, dc);
      if (j < centre) orientation.earlier[centre].set(dr, dc);
    }
  }
  return orientation;
}

}  // namespace

Shape parse_shape(std::string_view text) {
  Shape shape(1);
  for (char c : text) {
    if (c == '/') {
      shape.emplace_back();
    } else {
      shape.back().push_back(c == '#');
    }
  }
  return shape;
}

void check_dim(uint64_t dim, std::source_location location) {
  if (dim < kMinDim || dim > kMaxDim) {
    fail("Invalid board dimension " + std::to_string(dim) + ": the accepted range is " +
             std::to_string(kMinDim) + " to " + std::to_string(kMaxDim),
         location);
  }
}

PieceVariant::PieceVariant(Shape shape_in, uint32_t dim) : shape(std::move(shape_in)) {
  check_index(0, shape.size());
  width = static_cast<uint32_t>(shape[0].size());
  for (size_t r = 0; r < shape.size(); ++r) {
    mask.insert(mask.end(), shape[r].begin(), shape[r].end());
    if (r + 1 < shape.size()) {
      if (shape[r].size() > dim) {
        fail("PieceVariant: a shape row of " + std::to_string(shape[r].size()) +
             " cells does not fit a board of dim " + std::to_string(dim));
      }
      mask.insert(mask.end(), dim - shape[r].size(), false);
    }
  }
  for (uint32_t i = 0; i < mask.size(); ++i) {
    if (mask[i]) offsets.push_back(i);
  }
}

Shape Piece::rotate(Shape shape) {
  check_index(0, shape.size());
  const size_t h = shape.size();
  const size_t w = shape[0].size();
  Shape turned(w, std::vector<bool>(h));
  for (size_t j = 0; j < w; ++j) {
    for (size_t k = 0; k < h; ++k) {
      const auto& row = shape[h - 1 - k];
      check_index(j, row.size());
      turned[j][k] = row[j];
    }
  }
  return turned;
}

Shape Piece::flip(Shape shape) {
  for (auto& row : shape) {
    std::vector<bool> reversed(row.rbegin(), row.rend());
    row = std::move(reversed);
  }
  return shape;
}

Piece::Piece(uint8_t id, uint32_t dim) : piece_id(id), size(0) {
  check_index(id, kPieceCount);
  shape = parse_shape(kBaseShapes[id]);
  for (const auto& row : shape) {
    for (bool covered : row) size += covered ? 1 : 0;
  }
  auto add_turns = [&](Shape current) {
    for (int turn = 0; turn < 4; ++turn) {
      PieceVariant candidate(current, dim);
      bool seen = false;
      for (const auto& existing : variants) seen = seen || existing.mask == candidate.mask;
      if (!seen) variants.push_back(std::move(candidate));
      current = rotate(std::move(current));
    }
  };
  add_turns(shape);
  add_turns(flip(shape));
}

Catalogue::Catalogue(uint32_t dim) : dim_(dim) {
  check_dim(dim);
  pieces_.reserve(kPieceCount);
  for (uint32_t id = 0; id < kPieceCount; ++id) {
    const Piece& piece = pieces_.emplace_back(static_cast<uint8_t>(id), dim);
    variant_counts_[id] = static_cast<uint32_t>(piece.variants.size());
    for (size_t v = 0; v < piece.variants.size(); ++v) {
      orientations_[id][v] = to_orientation(piece.variants[v]);
    }
  }
}

const Catalogue& Catalogue::for_dim(uint32_t dim) {
  check_dim(dim);
  static std::mutex mutex;
  static std::array<std::unique_ptr<const Catalogue>, kMaxDim + 1> cache;
  std::lock_guard lock(mutex);
  auto& entry = cache[dim];
  if (!entry) entry = std::make_unique<const Catalogue>(dim);
  return *entry;
}

}  // namespace tavlox
