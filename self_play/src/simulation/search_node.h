#pragma once

#include <cstdint>
#include <vector>

namespace tavlox::self_play {

// One node of the search tree. Children are owned by value; their order is shuffled once
// when the node is expanded, so every walk over them follows one fixed, random order.
struct SearchNode {
  std::vector<SearchNode> children;
  uint32_t action = 0;  // the tile that leads from the parent to this node
  uint32_t player = 0;
  float value_sum = 0.0f;
  uint32_t visit_count = 0;
  float prior = 0.0f;
  // The network's value of this position for its player to move, set when it is expanded.
  float network_value = 0.0f;

  bool is_leaf() const { return children.empty(); }
  // The child reached by `action`, or null.
  SearchNode* find_child(uint32_t action);
  const SearchNode* find_child(uint32_t action) const;
};

}  // namespace tavlox::self_play
