// Training's lists of arena positions, one per pair.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "huge_pages.hpp"
#include "interrupt_check.hpp"
#include "tokenizer_error.hpp"

namespace wordloom {

// The arena positions where each pair was seen, as chains of small chunks in
// one pool: a list grows without copying, and the chunks of a consumed list
// go back to a free list for the lists that grow next. A list is made of
// ascending runs, so a position is kept as its distance from the one before,
// seven bits to a byte, the low bits first: about two bytes a position rather
// than four. A distance may continue in the next chunk.
class PositionLists {
 public:
  static constexpr std::uint32_t kNoChunk = std::numeric_limits<std::uint32_t>::max();

  // A list of one position keeps it in `tail`, with kSingle for a head: most
  // pairs that merges form are seen once, and a chunk would cost 32 bytes.
  struct List {
    std::uint32_t head = kNoChunk;
    std::uint32_t tail = kNoChunk;
  };
  static constexpr std::uint32_t kSingle = kNoChunk - 1;

  // The bytes that the distance from `from` to `position` takes. Distances
  // wrap around: a run that starts lower costs five bytes.
  static std::uint64_t encoded_size(std::uint32_t from, std::uint32_t position) {
    std::uint64_t size = 1;
    for (std::uint32_t distance = position - from; distance >= 0x80; distance >>= 7) ++size;
    return size;
  }

  // A list of `bytes` bytes whose last position is `last`, to be written
  // with place(). Its chunks are consecutive in the pool, so that reading it
  // back walks memory in order.
  List sized(std::uint64_t bytes, std::uint32_t last, InterruptCadence& cadence) {
    List list;
    for (std::uint64_t filled = 0; filled < bytes; filled += kChunkBytes) {
      cadence.step(kChunkBytes);
      const std::uint32_t fresh = new_chunk();
      chunk(fresh).used = static_cast<std::uint8_t>(std::min<std::uint64_t>(bytes - filled, kChunkBytes));
      if (list.head == kNoChunk) list.head = fresh;
      else chunk(list.tail).link = fresh;
      list.tail = fresh;
    }
    if (list.tail != kNoChunk) chunk(list.tail).link = last;
    return list;
  }

  // Writes the distance from `from` to `position` at byte `offset` of a list
  // made by sized(); returns the offset after it. Threads may place
  // different bytes at the same time.
  std::uint64_t place(const List& list, std::uint64_t offset, std::uint32_t from, std::uint32_t position) {
    std::uint32_t distance = position - from;
    for (;; distance >>= 7) {
      Chunk& at = chunk(static_cast<std::uint32_t>(list.head + offset / kChunkBytes));
      const bool more = distance >= 0x80;
      at.bytes[offset++ % kChunkBytes] = static_cast<std::uint8_t>(more ? distance | 0x80 : distance);
      if (!more) return offset;
    }
  }

  void append(List& list, std::span<const std::uint32_t> positions) {
    if (positions.empty()) return;
    if (list.head == kNoChunk && positions.size() == 1) {
      list = {kSingle, positions[0]};
      return;
    }
    const List single = list;
    if (list.head == kNoChunk || list.head == kSingle) {
      list.head = list.tail = allocate();
      chunk(list.tail).link = 0;
    }
    if (single.head == kSingle) append(list, std::span(&single.tail, 1));
    Chunk* tail = &chunk(list.tail);
    std::uint32_t last = tail->link;
    auto put = [&](std::uint8_t byte) {
      if (tail->used == kChunkBytes) {
        const std::uint32_t fresh = allocate();
        tail->link = fresh;
        list.tail = fresh;
        tail = &chunk(fresh);
      }
      tail->bytes[tail->used++] = byte;
    };
    for (std::uint32_t position : positions) {
      std::uint32_t distance = position - last;
      for (; distance >= 0x80; distance >>= 7) put(static_cast<std::uint8_t>(distance | 0x80));
      put(static_cast<std::uint8_t>(distance));
      last = position;
    }
    tail->link = last;
  }

  // Appends the positions of `list` to `out` and frees its chunks.
  void take(List& list, std::vector<std::uint32_t>& out, const InterruptCheck& check_interrupt) {
    if (list.head == kNoChunk) return;
    if (list.head == kSingle) {
      out.push_back(list.tail);
      list = {};
      return;
    }
    InterruptCadence cadence(check_interrupt);
    std::uint32_t position = 0;
    std::uint32_t distance = 0;
    unsigned shift = 0;
    for (std::uint32_t index = list.head;; index = chunk(index).link) {
      const Chunk& current = chunk(index);
      cadence.step(current.used);
      for (std::uint8_t i = 0; i < current.used; ++i) {
        distance |= static_cast<std::uint32_t>(current.bytes[i] & 0x7F) << shift;
        shift += 7;
        if ((current.bytes[i] & 0x80) != 0) continue;
        position += distance;
        out.push_back(position);
        distance = 0;
        shift = 0;
      }
      if (index == list.tail) break;
    }
    chunk(list.tail).link = free_;
    free_ = list.head;
    list = {};
  }

 private:
  static constexpr std::uint8_t kChunkBytes = 27;
  struct alignas(32) Chunk {
    std::uint32_t link;  // the next chunk of its list (in the free list too); in a list's last, its last position
    std::uint8_t used;
    std::uint8_t bytes[kChunkBytes];
  };
  static constexpr unsigned kSegmentBits = 16;  // 2 MiB of chunks per segment, a huge page; segments never move

  Chunk& chunk(std::uint32_t index) {
    return segments_[index >> kSegmentBits][index & ((1u << kSegmentBits) - 1)];
  }

  std::uint32_t allocate() {
    if (free_ == kNoChunk) return new_chunk();
    const std::uint32_t index = free_;
    Chunk& reused = chunk(index);
    free_ = reused.link;
    reused.used = 0;
    return index;
  }

  std::uint32_t new_chunk() {
    if (chunks_ == kSingle) internal_failure("too many pair positions to train on");
    if ((chunks_ >> kSegmentBits) == segments_.size()) {
      segments_.push_back(make_huge_page_array_for_overwrite<Chunk>(std::size_t{1} << kSegmentBits));
    }
    chunk(chunks_).used = 0;
    return chunks_++;
  }

  std::vector<HugePageArray<Chunk>> segments_;
  std::uint32_t chunks_ = 0;
  std::uint32_t free_ = kNoChunk;
};

}  // namespace wordloom
