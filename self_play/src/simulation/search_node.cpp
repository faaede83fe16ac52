#include "search_node.h"

#include <algorithm>
#include <utility>

namespace tavlox::self_play {

SearchNode* SearchNode::find_child(uint32_t action) {
  return const_cast<SearchNode*>(std::as_const(*this).find_child(action));
}

const SearchNode* SearchNode::find_child(uint32_t action) const {
  const auto found =
      std::find_if(children.begin(), children.end(),
                   [action](const SearchNode& child) { return child.action == action; });
  return found == children.end() ? nullptr : &*found;
}

}  // namespace tavlox::self_play
