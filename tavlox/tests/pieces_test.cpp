#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "fault.h"
#include "pieces.h"
#include "shape_text.h"

namespace tavlox::testing {
namespace {

using ::testing::ElementsAre;

// Every piece's orientations in generation order, separated by " ; ".
const std::vector<std::string> kExpectedOrientations = {
    "#",
    "## ; #/#",
    "##/.# ; .#/## ; #./## ; ##/#.",
    "### ; #/#/#",
    "#### ; #/#/#/#",
    "##/#./#. ; ###/..# ; .#/.#/## ; #../### ; ##/.#/.# ; ..#/### ; #./#./## ; ###/#..",
    "###/.#. ; .#/##/.# ; .#./### ; #./##/#.",
    "##/##",
    "##./.## ; .#/##/#. ; .##/##. ; #./##/.#",
    "##### ; #/#/#/#/#",
    "####/#... ; ##/.#/.#/.# ; ...#/#### ; #./#./#./## ; ####/...# ; .#/.#/.#/## ; "
    "#.../#### ; ##/#./#./#.",
    "###./..## ; .#/.#/##/#. ; ##../.### ; .#/##/#./#. ; .###/##.. ; #./##/.#/.# ; "
    "..##/###. ; #./#./##/.#",
    "###/##. ; ##/##/.# ; .##/### ; #./##/## ; ###/.## ; .#/##/## ; ##./### ; ##/##/#.",
    "###/#../#.. ; ###/..#/..# ; ..#/..#/### ; #../#../###",
    "##./.##/..# ; ..#/.##/##. ; #../##./.## ; .##/##./#..",
    "##./.#./.## ; ..#/###/#.. ; .##/.#./##. ; #../###/..#",
    "###/#.# ; ##/.#/## ; #.#/### ; ##/#./##",
    "####/.#.. ; .#/##/.#/.# ; ..#./#### ; #./#./##/#. ; ####/..#. ; .#/.#/##/.# ; "
    ".#../#### ; #./##/#./#.",
    ".#./###/.#.",
    ".#./###/#.. ; ##./.##/.#. ; ..#/###/.#. ; .#./##./.## ; .#./###/..# ; .#./.##/##. ; "
    "#../###/.#. ; .##/##./.#.",
    "###/.#./.#. ; ..#/###/..# ; .#./.#./### ; #../###/#..",
};

std::vector<std::string> split_orientations(const std::string& line) {
  std::vector<std::string> parts;
  std::istringstream in(line);
  std::string part;
  while (in >> part) {
    if (part != ";") parts.push_back(part);
  }
  return parts;
}

std::vector<std::string> orientation_texts(const Piece& piece) {
  std::vector<std::string> texts;
  for (const PieceVariant& variant : piece.variants) texts.push_back(shape_text(variant.shape));
  return texts;
}

class PieceCatalogue : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PieceCatalogue, OrientationsFollowTheTableInGenerationOrder) {
  const uint32_t dim = GetParam();
  for (uint32_t id = 0; id < kPieceCount; ++id) {
    const Piece piece(uint8_t(id), dim);
    const std::vector<std::string> expected = split_orientations(kExpectedOrientations[id]);
    EXPECT_EQ(orientation_texts(piece), expected) << "piece " << id << " on a board of " << dim;
    EXPECT_EQ(shape_text(piece.shape), expected.front()) << "base shape of piece " << id;
    EXPECT_EQ(piece.piece_id, id);
  }
}

TEST_P(PieceCatalogue, VariantLayoutUsesTheBoardStride) {
  const uint32_t dim = GetParam();
  const Catalogue& catalogue = Catalogue::for_dim(dim);
  for (uint32_t id = 0; id < kPieceCount; ++id) {
    const Piece& piece = catalogue.piece(id);
    for (uint32_t v = 0; v < piece.variants.size(); ++v) {
      const PieceVariant& variant = piece.variants[v];
      const uint32_t height = uint32_t(variant.shape.size());
      const uint32_t width = uint32_t(variant.shape[0].size());
      std::vector<uint32_t> offsets;
      for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t c = 0; c < width; ++c) {
          if (variant.shape[r][c]) offsets.push_back(r * dim + c);
        }
      }
      std::vector<bool> mask((height - 1) * dim + width, false);
      for (uint32_t o : offsets) mask[o] = true;
      const std::string where = "piece " + std::to_string(id) + " variant " + std::to_string(v);
      EXPECT_EQ(variant.width, width) << where;
      EXPECT_EQ(variant.offsets, offsets) << where;
      EXPECT_EQ(variant.mask, mask) << where;
      EXPECT_EQ(offsets.size(), piece.size) << where;

      const Orientation& compact = catalogue.orientations(id)[v];
      EXPECT_EQ(compact.size, offsets.size()) << where;
      EXPECT_EQ(compact.width, width) << where;
      EXPECT_EQ(compact.mask_length, mask.size()) << where;
      EXPECT_TRUE(std::equal(offsets.begin(), offsets.end(), compact.offsets.begin())) << where;
    }
    EXPECT_EQ(catalogue.orientations(id).size(), piece.variants.size()) << "piece " << id;
  }
}

INSTANTIATE_TEST_SUITE_P(Dims, PieceCatalogue, ::testing::Values(4u, 5u, 7u, 20u, 256u));

TEST(PieceCatalogueTotals, PiecesCellsAndOrientationsAddUp) {
  const Catalogue& catalogue = Catalogue::for_dim(20);
  uint32_t cells = 0;
  uint32_t orientations = 0;
  std::vector<uint32_t> counts;
  for (uint32_t id = 0; id < kPieceCount; ++id) {
    cells += catalogue.piece(id).size;
    orientations += uint32_t(catalogue.piece(id).variants.size());
    counts.push_back(uint32_t(catalogue.piece(id).variants.size()));
  }
  EXPECT_EQ(cells, kCatalogueCells);
  EXPECT_EQ(orientations, 91u);
  EXPECT_THAT(counts, ElementsAre(1, 2, 4, 2, 2, 8, 4, 1, 4, 2, 8, 8, 8, 4, 4, 4, 4, 8, 1, 8, 4));
}

TEST(PieceVariantLayout, TabledExamplesOnBoardOfTwenty) {
  const Catalogue& catalogue = Catalogue::for_dim(20);
  const PieceVariant& corner = catalogue.piece(2).variants[0];
  EXPECT_EQ(corner.width, 2u);
  EXPECT_EQ(corner.mask.size(), 22u);
  EXPECT_THAT(corner.offsets, ElementsAre(0, 1, 21));

  const PieceVariant& vertical_line = catalogue.piece(9).variants[1];
  EXPECT_EQ(vertical_line.width, 1u);
  EXPECT_EQ(vertical_line.mask.size(), 81u);
  EXPECT_THAT(vertical_line.offsets, ElementsAre(0, 20, 40, 60, 80));

  const PieceVariant& cross = catalogue.piece(18).variants[0];
  EXPECT_EQ(cross.width, 3u);
  EXPECT_EQ(cross.mask.size(), 43u);
  EXPECT_THAT(cross.offsets, ElementsAre(1, 20, 21, 22, 41));
}

TEST(ShapeTransforms, RotateTurnsClockwise) {
  EXPECT_EQ(shape_text(Piece::rotate(parse_shape("##/.#"))), ".#/##");
  EXPECT_EQ(shape_text(Piece::rotate(parse_shape("###"))), "#/#/#");
  EXPECT_EQ(shape_text(Piece::rotate(parse_shape("####/#..."))), "##/.#/.#/.#");
}

TEST(ShapeTransforms, FlipMirrorsLeftToRight) {
  EXPECT_EQ(shape_text(Piece::flip(parse_shape("##/.#"))), "##/#.");
  EXPECT_EQ(shape_text(Piece::flip(parse_shape("###./..##"))), ".###/##..");
}

TEST(ShapeTransforms, FourTurnsAndTwoFlipsRestoreEveryPiece) {
  for (uint32_t id = 0; id < kPieceCount; ++id) {
    const Shape base = Catalogue::for_dim(20).piece(id).shape;
    Shape turned = base;
    for (int i = 0; i < 4; ++i) turned = Piece::rotate(turned);
    EXPECT_EQ(turned, base) << "four quarter turns of piece " << id;
    EXPECT_EQ(Piece::flip(Piece::flip(base)), base) << "two flips of piece " << id;
  }
}

TEST(ShapeFaults, EmptyOrRaggedShapesFault) {
  EXPECT_THROW(Piece::rotate(Shape{}), Fault);
  EXPECT_THROW(Piece::rotate(parse_shape("##/#")), Fault);
  EXPECT_THROW(PieceVariant(Shape{}, 20), Fault);
}

TEST(CatalogueDims, DimFourBuildsAndNarrowerBoardsFault) {
  EXPECT_NO_THROW(Catalogue::for_dim(4));
  EXPECT_EQ(Catalogue::for_dim(4).piece(9).variants[0].width, 5u)
      << "the horizontal five-cell line is wider than a board of 4 but still built";
  EXPECT_THROW(Catalogue::for_dim(3), Fault);
  EXPECT_THROW(Catalogue::for_dim(0), Fault);
  EXPECT_THROW(Catalogue::for_dim(kMaxDim + 1), Fault);
  // A row four cells wide followed by another row cannot be laid out with stride 3.
  EXPECT_THROW(Piece(10, 3), Fault);
}

TEST(CatalogueDims, UnknownPieceIdFaults) {
  EXPECT_THROW(Piece(uint8_t(kPieceCount), 20), Fault);
}

TEST(CatalogueDims, SameDimSharesOneCatalogue) {
  EXPECT_EQ(&Catalogue::for_dim(20), &Catalogue::for_dim(20));
  EXPECT_EQ(Catalogue::for_dim(7).dim(), 7u);
}

}  // namespace
}  // namespace tavlox::testing
