#include "faultline/ui/color_reduction.h"

#include <algorithm>
#include <cstring>

namespace {

inline uint32_t ChildIndex(TRgb c, uint32_t depth) {
  uint32_t shift = 7 - depth;
  return (((c.R >> shift) & 1u) << 2) | (((c.G >> shift) & 1u) << 1) | ((c.B >> shift) & 1u);
}

inline TRgb PixelAt(const uint8_t* p) { return TRgb{p[2], p[1], p[0]}; }

inline bool SamePixel(const uint8_t* a, const uint8_t* b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

inline uint32_t Square(int v) { return uint32_t(v * v); }

}  // namespace

TColorOctree::TColorOctree() {
  reducible_.fill(kNone);
  // Room for a typical tree; the pool grows when a picture needs more.
  nodes_.reserve(512);
  root_ = NewNode(0);
}

int32_t TColorOctree::NewNode(uint32_t depth) {
  int32_t index;
  if (free_ != kNone) {
    index = free_;
    free_ = nodes_[index].Next;
    nodes_[index] = TNode{};
  } else {
    index = int32_t(nodes_.size());
    nodes_.emplace_back();
  }
  TNode& node = nodes_[index];
  node.Children.fill(kNone);
  if (depth == 8) {
    node.Leaf = true;
    ++leafCount_;
  } else {
    node.Next = reducible_[depth];
    reducible_[depth] = index;
  }
  return index;
}

void TColorOctree::FreeNode(int32_t index) {
  nodes_[index].Next = free_;
  free_ = index;
}

int32_t TColorOctree::LeafOf(TRgb color) {
  int32_t node = root_;
  for (uint32_t depth = 0; !nodes_[node].Leaf; ++depth) {
    uint32_t slot = ChildIndex(color, depth);
    int32_t child = nodes_[node].Children[slot];
    if (child == kNone) {
      child = NewNode(depth + 1);  // may move the pool: index again below
      nodes_[node].Children[slot] = child;
    }
    node = child;
  }
  return node;
}

void TColorOctree::ReduceOnce() {
  uint32_t depth = 7;
  while (depth > 0 && reducible_[depth] == kNone) --depth;
  int32_t index = reducible_[depth];
  if (index == kNone) return;  // only the root, already a leaf: nothing left to merge
  TNode& node = nodes_[index];
  reducible_[depth] = node.Next;
  node.Next = kNone;
  // Every child is a leaf: an inner child would sit in the list one deeper, and no deeper list
  // holds anything.
  uint32_t children = 0;
  for (int32_t& child : node.Children) {
    if (child == kNone) continue;
    const TNode& c = nodes_[child];
    node.Count += c.Count;
    node.SumR += c.SumR;
    node.SumG += c.SumG;
    node.SumB += c.SumB;
    FreeNode(child);
    child = kNone;
    ++children;
  }
  node.Leaf = true;
  // An inner node always has a child (nodes are only made on the way to a leaf).
  leafCount_ -= children - 1;
}

void TColorOctree::Add(TRgb color) {
  TNode& leaf = nodes_[LeafOf(color)];
  ++leaf.Count;
  leaf.SumR += color.R;
  leaf.SumG += color.G;
  leaf.SumB += color.B;
  while (leafCount_ > kMaxLeaves) ReduceOnce();
}

void TColorOctree::AddRun(TRgb color, uint64_t n) {
  if (n == 0) return;
  Add(color);
  if (n == 1) return;
  // The first pixel left a path down to a leaf that holds its colour (a reduction only turns inner
  // nodes into leaves), so the others find that leaf without making a node, and the leaf count
  // does not change: no reduction can fall between them.
  TNode& leaf = nodes_[LeafOf(color)];
  leaf.Count += n - 1;
  leaf.SumR += (n - 1) * color.R;
  leaf.SumG += (n - 1) * color.G;
  leaf.SumB += (n - 1) * color.B;
}

void TColorOctree::AddImage(const TBgrView& image) {
  for (uint32_t y = image.Height; y-- > 0;) {
    const uint8_t* row = image.Row(y);
    uint32_t x = 0;
    while (x < image.Width) {
      const uint8_t* first = row + size_t(x) * 3;
      uint32_t end = x + 1;
      while (end < image.Width && SamePixel(row + size_t(end) * 3, first)) ++end;
      AddRun(PixelAt(first), end - x);
      x = end;
    }
  }
}

template <class Visit>
void TColorOctree::VisitLeaves(Visit visit) const {
  // Depth-first with an explicit stack: one frame per depth, the next child to look at in each.
  struct TFrame {
    int32_t Node;
    uint32_t Path;
    uint32_t NextChild;
  };
  std::array<TFrame, 9> stack;
  uint32_t top = 0;
  stack[0] = {root_, 0, 0};
  if (nodes_[root_].Leaf) {
    visit(nodes_[root_], 0u, 0u);
    return;
  }
  for (;;) {
    TFrame& f = stack[top];
    if (f.NextChild == 8) {
      if (top == 0) return;
      --top;
      continue;
    }
    uint32_t slot = f.NextChild++;
    int32_t child = nodes_[f.Node].Children[slot];
    if (child == kNone) continue;
    uint32_t path = (f.Path << 3) | slot;
    if (nodes_[child].Leaf) {
      visit(nodes_[child], top + 1, path);
    } else {
      stack[++top] = {child, path, 0};
    }
  }
}

TPalette TColorOctree::Palette() const {
  TPalette palette;
  VisitLeaves([&](const TNode& leaf, uint32_t, uint32_t) {
    palette.Colors[palette.Count++] = TRgb{uint8_t(leaf.SumR / leaf.Count), uint8_t(leaf.SumG / leaf.Count),
                                           uint8_t(leaf.SumB / leaf.Count)};
  });
  return palette;
}

std::vector<TColorOctree::TLeaf> TColorOctree::Leaves() const {
  std::vector<TLeaf> leaves;
  VisitLeaves([&](const TNode& leaf, uint32_t depth, uint32_t path) {
    leaves.push_back({depth, path, leaf.Count, leaf.SumR, leaf.SumG, leaf.SumB});
  });
  return leaves;
}

TPalette ReduceColors(const TBgrView& image) {
  TColorOctree tree;
  tree.AddImage(image);
  return tree.Palette();
}

TNearestColor::TNearestColor(const TPalette& palette)
    : palette_(palette), cellStart_(32 * 32 * 32, kUnknown) {
  palette_.Count = std::min<uint32_t>(palette_.Count, 256);
}

const uint32_t* TNearestColor::Candidates(uint32_t cell) {
  if (cellStart_[cell] == kUnknown) {
    int lo[3] = {int(cell >> 10) * 8, int((cell >> 5) & 31) * 8, int(cell & 31) * 8};
    uint32_t nearest[256];
    uint32_t bound = 0xFFFFFFFFu;  // no colour of the cell is farther than this from its nearest
    for (uint32_t i = 0; i < palette_.Count; ++i) {
      const TRgb& e = palette_.Colors[i];
      int c[3] = {e.R, e.G, e.B};
      uint32_t lowest = 0;
      uint32_t highest = 0;
      for (int k = 0; k < 3; ++k) {
        int below = lo[k] - c[k];      // > 0: the entry lies below the cell
        int above = c[k] - lo[k] - 7;  // > 0: the entry lies above the cell
        if (below > 0) lowest += Square(below);
        if (above > 0) lowest += Square(above);
        highest += std::max(Square(c[k] - lo[k]), Square(c[k] - lo[k] - 7));
      }
      nearest[i] = lowest;
      bound = std::min(bound, highest);
    }
    cellStart_[cell] = uint32_t(pool_.size());
    pool_.push_back(0);
    size_t first = pool_.size();
    // An entry whose smallest distance equals the bound can still tie, so it stays.
    for (uint32_t i = 0; i < palette_.Count; ++i) {
      if (nearest[i] <= bound) pool_.push_back(nearest[i] << 8 | i);
    }
    // Nearest first (then by index), so that a search can stop at the first entry that cannot
    // come as close as the best found.
    std::sort(pool_.begin() + first, pool_.end());
    pool_[first - 1] = uint32_t(pool_.size() - first);
  }
  return pool_.data() + cellStart_[cell];
}

uint8_t TNearestColor::operator()(TRgb color) {
  if (palette_.Count == 0) return 0;
  const uint32_t* list = Candidates((uint32_t(color.R >> 3) << 10) | (uint32_t(color.G >> 3) << 5) | (color.B >> 3));
  const uint32_t* end = list + 1 + list[0];
  uint32_t best = 0;
  uint32_t bestDistance = 0xFFFFFFFFu;
  for (const uint32_t* p = list + 1; p != end && (*p >> 8) <= bestDistance; ++p) {
    uint32_t i = *p & 0xFF;
    const TRgb& e = palette_.Colors[i];
    uint32_t d = Square(e.R - color.R) + Square(e.G - color.G) + Square(e.B - color.B);
    if (d < bestDistance || (d == bestDistance && i < best)) {
      bestDistance = d;
      best = i;
    }
  }
  return uint8_t(best);
}

void TNearestColor::MapRow(const uint8_t* bgr, uint32_t width, uint8_t* indices) {
  // Screens are mostly runs of one colour: the previous pixel's answer is the cheapest cache.
  const uint8_t* previous = nullptr;
  uint8_t index = 0;
  for (uint32_t x = 0; x < width; ++x) {
    const uint8_t* p = bgr + size_t(x) * 3;
    if (!previous || !SamePixel(p, previous)) index = (*this)(PixelAt(p));
    previous = p;
    indices[x] = index;
  }
}

void MapToPalette(const TBgrView& image, const TPalette& palette, uint8_t* indices, size_t indexStride) {
  TNearestColor nearest(palette);
  for (uint32_t y = 0; y < image.Height; ++y) nearest.MapRow(image.Row(y), image.Width, indices + size_t(y) * indexStride);
}
