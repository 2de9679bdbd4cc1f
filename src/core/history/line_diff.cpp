// The implementation of line_diff.h; its role and contract are stated there.

#include "core/history/line_diff.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>

namespace vesk {

namespace {

using Index = std::ptrdiff_t;

// Gives every distinct line an integer id, so that the search compares ints
// rather than strings. Open addressing with linear probing; the table never
// grows because the number of lines is known up front. Each slot keeps part
// of the hash next to the id, so a probe rarely touches a line's bytes unless
// it is the one sought.
class LineInterner {
 public:
  explicit LineInterner(std::size_t max_lines)
      : slots_(std::bit_ceil(2 * max_lines + 2)), mask_(slots_.size() - 1) {
    lines_.reserve(max_lines);
  }

  std::uint32_t intern(std::string_view line) {
    const std::size_t hash = std::hash<std::string_view>{}(line);
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.id_plus_one == 0) {
        const auto id = static_cast<std::uint32_t>(lines_.size());
        lines_.push_back(line);
        slot = {tag, id + 1};
        return id;
      }
      if (slot.tag == tag && lines_[slot.id_plus_one - 1] == line) return slot.id_plus_one - 1;
    }
  }

  std::size_t size() const { return lines_.size(); }

 private:
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t id_plus_one = 0;  // 0: free
  };
  std::vector<Slot> slots_;
  std::size_t mask_;
  std::vector<std::string_view> lines_;
};

// Myers' O(ND) comparison in linear space: find a point on a shortest path
// through the middle of the edit graph, then solve the two halves.
class MyersSearch {
 public:
  MyersSearch(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b)
      : a_(a.data()),
        b_(b.data()),
        fwd_(a.size() + b.size() + 3),
        bwd_(a.size() + b.size() + 3),
        a_changed_(a.size(), 0),
        b_changed_(b.size(), 0) {
    // Diagonals k = x - y range over [-|b| - 1, |a| + 1], sentinels included.
    fv_ = fwd_.data() + b.size() + 1;
    bv_ = bwd_.data() + b.size() + 1;
    compare(0, static_cast<Index>(a.size()), 0, static_cast<Index>(b.size()));
  }

  std::vector<unsigned char>& a_changed() { return a_changed_; }
  std::vector<unsigned char>& b_changed() { return b_changed_; }

 private:
  struct Point {
    Index x, y;
  };
  // Marks of a diagonal no path has reached yet (the forward search stores
  // the largest x reached, the backward search the smallest).
  static constexpr Index kNoneFwd = -1;
  static constexpr Index kNoneBwd = std::numeric_limits<Index>::max();

  void compare(Index off1, Index lim1, Index off2, Index lim2) {
    while (off1 < lim1 && off2 < lim2 && a_[off1] == b_[off2]) ++off1, ++off2;
    while (off1 < lim1 && off2 < lim2 && a_[lim1 - 1] == b_[lim2 - 1]) --lim1, --lim2;
    if (off1 == lim1) {
      std::fill(b_changed_.begin() + off2, b_changed_.begin() + lim2, 1);
      return;
    }
    if (off2 == lim2) {
      std::fill(a_changed_.begin() + off1, a_changed_.begin() + lim1, 1);
      return;
    }
    // Both sides are non-empty and differ at both ends, so the distance is
    // at least 2 and the split point is never a corner: both halves are
    // strictly smaller problems.
    const Point mid = split(off1, lim1, off2, lim2);
    compare(off1, mid.x, off2, mid.y);
    compare(mid.x, lim1, mid.y, lim2);
  }

  // A point on a shortest path from (off1, off2) to (lim1, lim2) that splits
  // it into two halves of (nearly) equal cost. Runs a forward and a backward
  // search until they overlap. Only moves that stay inside the box are
  // taken: a diagonal whose neighbours' moves would leave it stays unreached.
  Point split(Index off1, Index lim1, Index off2, Index lim2) {
    Index* const fv = fv_;
    Index* const bv = bv_;
    const Index dmin = off1 - lim2, dmax = lim1 - off2;
    const Index fmid = off1 - off2, bmid = lim1 - lim2;
    const bool odd = ((fmid - bmid) & 1) != 0;
    Index fmin = fmid, fmax = fmid, bmin = bmid, bmax = bmid;
    fv[fmid] = off1;
    bv[bmid] = lim1;

    for (;;) {
      if (fmin > dmin) {
        fv[--fmin - 1] = kNoneFwd;
      } else {
        ++fmin;
      }
      if (fmax < dmax) {
        fv[++fmax + 1] = kNoneFwd;
      } else {
        --fmax;
      }
      for (Index k = fmax; k >= fmin; k -= 2) {
        const Index left = fv[k - 1];   // a deletion from diagonal k - 1
        const Index above = fv[k + 1];  // an insertion from diagonal k + 1
        Index x = kNoneFwd;
        if (left != kNoneFwd && left < lim1) x = left + 1;
        if (above > x && above - k <= lim2) x = above;
        if (x == kNoneFwd) {
          fv[k] = kNoneFwd;
          continue;
        }
        Index y = x - k;
        while (x < lim1 && y < lim2 && a_[x] == b_[y]) ++x, ++y;
        fv[k] = x;
        if (odd && bmin <= k && k <= bmax && bv[k] <= x) return {x, y};
      }

      if (bmin > dmin) {
        bv[--bmin - 1] = kNoneBwd;
      } else {
        ++bmin;
      }
      if (bmax < dmax) {
        bv[++bmax + 1] = kNoneBwd;
      } else {
        --bmax;
      }
      for (Index k = bmax; k >= bmin; k -= 2) {
        const Index below = bv[k - 1];  // an insertion, backwards, from k - 1
        const Index right = bv[k + 1];  // a deletion, backwards, from k + 1
        Index x = kNoneBwd;
        if (right != kNoneBwd && right > off1) x = right - 1;
        if (below < x && below - k >= off2) x = below;
        if (x == kNoneBwd) {
          bv[k] = kNoneBwd;
          continue;
        }
        Index y = x - k;
        while (x > off1 && y > off2 && a_[x - 1] == b_[y - 1]) --x, --y;
        bv[k] = x;
        if (!odd && fmin <= k && k <= fmax && x <= fv[k]) return {x, y};
      }
    }
  }

  const std::uint32_t* a_;
  const std::uint32_t* b_;
  std::vector<Index> fwd_, bwd_;
  Index* fv_;
  Index* bv_;
  std::vector<unsigned char> a_changed_, b_changed_;
};

// A maximal run [start, end) of changed lines of one side; it may be empty.
// Runs of the two sides correspond one to one, because the unchanged lines
// between them pair up in order.
struct Group {
  std::size_t start = 0, end = 0;
};

// One side's lines and change flags, with a 0 flag before and after the ends
// so that group scans need no bounds checks.
class Side {
 public:
  Side(const std::vector<std::string_view>& lines, std::vector<unsigned char>& changed)
      : lines_(lines), flags_(changed.data()), n_(lines.size()) {}

  Group first() const {
    Group g;
    while (flag(g.end)) ++g.end;
    return g;
  }
  // False at the last group.
  bool next(Group& g) const {
    if (g.end == n_) return false;
    g.start = g.end + 1;
    g.end = g.start;
    while (flag(g.end)) ++g.end;
    return true;
  }
  // False at the first group.
  bool previous(Group& g) const {
    if (g.start == 0) return false;
    g.end = g.start - 1;
    g.start = g.end;
    while (g.start > 0 && flag(g.start - 1)) --g.start;
    return true;
  }
  // Moves the group up by one line when the line above equals its last line,
  // swallowing a group that it then touches.
  bool slide_up(Group& g) {
    if (g.start == 0 || lines_[g.start - 1] != lines_[g.end - 1]) return false;
    flags_[--g.start] = 1;
    flags_[--g.end] = 0;
    while (g.start > 0 && flag(g.start - 1)) --g.start;
    return true;
  }
  bool slide_down(Group& g) {
    if (g.end == n_ || lines_[g.start] != lines_[g.end]) return false;
    flags_[g.start++] = 0;
    flags_[g.end++] = 1;
    while (flag(g.end)) ++g.end;
    return true;
  }

 private:
  bool flag(std::size_t i) const { return i < n_ && flags_[i] != 0; }

  const std::vector<std::string_view>& lines_;
  unsigned char* flags_;
  std::size_t n_;
};

// Slides every group of `side` up and down as far as it goes, merging the
// groups it meets; a group that could move ends at its lowest position,
// unless it can line up with a change of `other`, which reads better as one
// change with both deletions and insertions. The script stays minimal: a
// group only moves across lines equal to its own.
void compact(Side& side, const Side& other) {
  Group g = side.first();
  Group go = other.first();
  for (;;) {
    if (g.end != g.start) {
      std::size_t earliest_end = 0;
      std::size_t size = 0;
      bool aligned = false;
      std::size_t aligned_end = 0;
      do {
        size = g.end - g.start;
        aligned = false;
        while (side.slide_up(g)) other.previous(go);
        earliest_end = g.end;
        if (go.end != go.start) {
          aligned = true;
          aligned_end = g.end;
        }
        while (side.slide_down(g)) {
          other.next(go);
          if (go.end != go.start) {
            aligned = true;
            aligned_end = g.end;
          }
        }
      } while (size != g.end - g.start);

      if (g.end != earliest_end && aligned) {
        while (g.end != aligned_end) {
          side.slide_up(g);
          other.previous(go);
        }
      }
    }
    if (!side.next(g)) break;
    other.next(go);
  }
}

}  // namespace

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  lines.reserve(text.size() / 32 + 1);
  const char* const base = text.data();
  const std::size_t n = text.size();
  // Carriage returns are rare, so the next one is looked up once rather than
  // once per line.
  const auto find_cr = [&](std::size_t from) -> std::size_t {
    const void* cr = from < n ? std::memchr(base + from, '\r', n - from) : nullptr;
    return cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - base) : n;
  };
  std::size_t next_cr = find_cr(0);
  std::size_t pos = 0;
  while (pos < n) {
    const void* nl = std::memchr(base + pos, '\n', n - pos);
    const std::size_t end =
        nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1 : n;
    // A carriage return before `end` ends a line of its own, unless it is
    // the one that forms "\r\n" with the line feed at `end`.
    while (next_cr < end) {
      const std::size_t at = next_cr;
      next_cr = find_cr(at + 1);
      if (at + 1 < n && base[at + 1] == '\n') break;
      lines.emplace_back(base + pos, at + 1 - pos);
      pos = at + 1;
    }
    if (pos < end) lines.emplace_back(base + pos, end - pos);
    pos = end;
  }
  return lines;
}

LineDiff diff_lines(std::string_view old_text, std::string_view new_text) {
  LineDiff d;
  d.old_lines = split_lines(old_text);
  d.new_lines = split_lines(new_text);
  const std::size_t n1 = d.old_lines.size(), n2 = d.new_lines.size();
  d.old_changed.assign(n1, 0);
  d.new_changed.assign(n2, 0);

  // The common head and tail are unchanged in every shortest script.
  std::size_t head = 0;
  while (head < n1 && head < n2 && d.old_lines[head] == d.new_lines[head]) ++head;
  std::size_t tail = 0;
  while (tail < n1 - head && tail < n2 - head &&
         d.old_lines[n1 - 1 - tail] == d.new_lines[n2 - 1 - tail]) {
    ++tail;
  }
  const std::size_t end1 = n1 - tail, end2 = n2 - tail;

  if (head < end1 || head < end2) {
    LineInterner interner((end1 - head) + (end2 - head));
    std::vector<std::uint32_t> ids1(end1 - head), ids2(end2 - head);
    for (std::size_t i = head; i < end1; ++i) ids1[i - head] = interner.intern(d.old_lines[i]);
    for (std::size_t j = head; j < end2; ++j) ids2[j - head] = interner.intern(d.new_lines[j]);

    // A line that occurs on one side only can never be matched: set it aside
    // as changed, and search only over the lines that both sides have.
    std::vector<unsigned char> in_old(interner.size(), 0), in_new(interner.size(), 0);
    for (std::uint32_t id : ids1) in_old[id] = 1;
    for (std::uint32_t id : ids2) in_new[id] = 1;
    std::vector<std::uint32_t> kept1, kept2;
    std::vector<std::size_t> where1, where2;  // index in the full line list
    kept1.reserve(ids1.size());
    where1.reserve(ids1.size());
    kept2.reserve(ids2.size());
    where2.reserve(ids2.size());
    for (std::size_t i = 0; i < ids1.size(); ++i) {
      if (in_new[ids1[i]]) {
        kept1.push_back(ids1[i]);
        where1.push_back(head + i);
      } else {
        d.old_changed[head + i] = 1;
      }
    }
    for (std::size_t j = 0; j < ids2.size(); ++j) {
      if (in_old[ids2[j]]) {
        kept2.push_back(ids2[j]);
        where2.push_back(head + j);
      } else {
        d.new_changed[head + j] = 1;
      }
    }

    MyersSearch search(kept1, kept2);
    for (std::size_t i = 0; i < kept1.size(); ++i) {
      if (search.a_changed()[i]) d.old_changed[where1[i]] = 1;
    }
    for (std::size_t j = 0; j < kept2.size(); ++j) {
      if (search.b_changed()[j]) d.new_changed[where2[j]] = 1;
    }
  }

  Side old_side(d.old_lines, d.old_changed);
  Side new_side(d.new_lines, d.new_changed);
  compact(old_side, new_side);
  compact(new_side, old_side);
  return d;
}

}  // namespace vesk
