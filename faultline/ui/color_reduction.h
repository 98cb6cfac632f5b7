#pragma once
// Reduction of a true-colour screen capture to at most 256 colours, for the 8-bit palette PNG a
// report carries: an octree of the pixel colours that merges its deepest branches whenever it holds
// more than 256 leaves, and the nearest-colour mapping of every pixel onto the resulting palette.
// Portable: the capture itself is the Windows side's business; it hands over a 24-bit DIB.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct TRgb {
  uint8_t R = 0;
  uint8_t G = 0;
  uint8_t B = 0;
  friend bool operator==(const TRgb&, const TRgb&) = default;
};

// Always 256 entries, because the PNG writer emits all of them; only the first Count are colours of
// the image (Count is 0 only for an empty palette). The entries from Count on are black and no
// pixel is ever mapped onto them.
struct TPalette {
  std::array<TRgb, 256> Colors{};
  uint32_t Count = 0;
};

// In which order the rows of a DIB lie in memory. A Windows DIB with a positive height is stored
// bottom-up: its first row in memory is the bottom row of the picture.
enum class TRowOrder { TopDown, BottomUp };

// A read-only view of 24-bit pixels, 3 bytes per pixel in the order blue, green, red (a 24-bit
// DIB). Only the first Width pixels of a row are pixels of the picture: what lies between them and
// the next row (a DIB pads its rows to 4 bytes, a capture bitmap is 4 pixels wider than asked for)
// is never read.
struct TBgrView {
  uint32_t Width = 0;
  uint32_t Height = 0;
  const uint8_t* Bits = nullptr;  // the first row in memory
  size_t Stride = 0;              // bytes from one row in memory to the next
  TRowOrder Order = TRowOrder::TopDown;

  // The pixels of row y, counted from the top of the picture.
  const uint8_t* Row(uint32_t y) const {
    uint32_t memoryRow = Order == TRowOrder::TopDown ? y : Height - 1 - y;
    return Bits + size_t(memoryRow) * Stride;
  }
};

// The colour octree. A colour's path from the root takes at depth d (0 to 7) the child
// 4*(bit 7-d of red) + 2*(bit 7-d of green) + (bit 7-d of blue), so a node at depth d stands for the
// box of colours sharing the top d bits of each component, and a leaf at depth 8 for one colour.
// Nodes are made on demand; a new node above depth 8 goes to the front of its depth's list of
// reducible nodes. After every pixel, while more than 256 leaves exist, the first node of the
// deepest non-empty list (depth 7 to 1, else the root's) absorbs its children and becomes a leaf.
// The result depends on the order the pixels arrive in, which is why AddImage fixes that order.
class TColorOctree {
 public:
  static constexpr uint32_t kMaxLeaves = 256;

  TColorOctree();

  // One pixel.
  void Add(TRgb color);
  // n pixels of the same colour in a row: exactly what n calls of Add give, in one walk.
  void AddRun(TRgb color, uint64_t n);
  // Every pixel of the picture, bottom row first and each row from left to right: the order in
  // which a bottom-up capture bitmap lies in memory, whatever order the view's rows are stored in.
  void AddImage(const TBgrView& image);

  uint32_t LeafCount() const { return leafCount_; }

  // The leaves in depth-first order (children 0 to 7), each as the integer mean of its pixels.
  TPalette Palette() const;

  // A leaf as the tests see it. Path holds the child indices from the root, 3 bits each, the
  // first one highest: the leaf stands for every colour whose top Depth bits per component lead
  // along that path.
  struct TLeaf {
    uint32_t Depth = 0;
    uint32_t Path = 0;
    uint64_t Count = 0;
    uint64_t SumR = 0;
    uint64_t SumG = 0;
    uint64_t SumB = 0;
  };
  std::vector<TLeaf> Leaves() const;

 private:
  static constexpr int32_t kNone = -1;
  struct TNode {
    // 64-bit: one leaf can stand for a whole flat screen, and after merging for several, and 255
    // times a few tens of millions of pixels no longer fits in 32 bits.
    uint64_t Count = 0;
    uint64_t SumR = 0;
    uint64_t SumG = 0;
    uint64_t SumB = 0;
    int32_t Next = kNone;  // the next node of the same reducible list, or of the free list
    std::array<int32_t, 8> Children;
    bool Leaf = false;
  };

  int32_t NewNode(uint32_t depth);
  void FreeNode(int32_t index);
  int32_t LeafOf(TRgb color);  // walks down to the colour's leaf, making nodes on the way
  void ReduceOnce();
  template <class Visit>
  void VisitLeaves(Visit visit) const;

  // Nodes live in one pool and refer to each other by index; freed nodes are chained for reuse,
  // so the pool stays as small as the largest tree and goes away with the octree in one piece.
  std::vector<TNode> nodes_;
  int32_t free_ = kNone;
  int32_t root_ = kNone;
  std::array<int32_t, 8> reducible_;
  uint32_t leafCount_ = 0;
};

// The palette of a picture: its colours when it has at most 256 (in depth-first octree order),
// otherwise the octree's reduction of them.
TPalette ReduceColors(const TBgrView& image);

// The index of the palette colour nearest to a colour by squared distance in RGB, the lowest index
// among equals. Only the first Count entries of the palette take part. Remembers what it worked
// out, so one instance should serve a whole picture.
class TNearestColor {
 public:
  explicit TNearestColor(const TPalette& palette);
  uint8_t operator()(TRgb color);
  // The indices of width 24-bit pixels (blue, green, red each).
  void MapRow(const uint8_t* bgr, uint32_t width, uint8_t* indices);

 private:
  // The colour cube is cut into 32x32x32 cells of 8x8x8 colours. For a cell, only the entries
  // that can be nearest to some colour inside it need to be looked at: those whose smallest
  // possible distance to the cell is no larger than the largest possible distance of the entry that
  // is surely closest. A cell's list is worked out the first time a colour falls into it.
  // A list is its length, then per entry its smallest distance to the cell (shifted up by 8) with
  // its index in the low 8 bits, in ascending order.
  const uint32_t* Candidates(uint32_t cell);

  TPalette palette_;
  std::vector<uint32_t> cellStart_;  // offset into pool_, or kUnknown
  std::vector<uint32_t> pool_;       // the lists of the known cells
  static constexpr uint32_t kUnknown = 0xFFFFFFFFu;
};

// The palette index of every pixel of image (see TNearestColor), written top row first: row y of
// the picture goes to indices + y * indexStride, Width bytes.
void MapToPalette(const TBgrView& image, const TPalette& palette, uint8_t* indices, size_t indexStride);
