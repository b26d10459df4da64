// Storage for many growing lists: a few large chunks cut into blocks, with blocks that lists
// leave behind kept for reuse by size class. Chunks never move, so growing a list copies that
// list only, and no block costs an allocator call of its own.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

#include "vorlane/large_alloc.hpp"

namespace vorlane {

template <class Entry>
class BlockStore {
public:
    // Entries per chunk after the first: one huge page.
    static constexpr size_t kChunkEntries = (size_t{2} << 20) / sizeof(Entry);

    // A block of at least capacity entries (capacity >= 1).
    Entry* take(size_t capacity) {
        // The smallest class whose blocks are all large enough.
        const size_t c = static_cast<size_t>(std::bit_width(capacity - 1));
        if (c < free_blocks_.size() && !free_blocks_[c].empty()) {
            Entry* block = free_blocks_[c].back();
            free_blocks_[c].pop_back();
            return block;
        }
        if (unused_left_ < capacity) {
            // The old tail is too short for this block: it joins the free blocks, and a new
            // chunk starts. Large lists get a chunk of their own size.
            if (unused_left_ > 0) give(unused_, unused_left_);
            unused_left_ = std::max(capacity, kChunkEntries);
            unused_ = chunk(unused_left_);
        }
        Entry* block = unused_;
        unused_ += capacity;
        unused_left_ -= capacity;
        return block;
    }

    // Keeps a block of capacity entries for reuse.
    void give(Entry* block, size_t capacity) {
        const size_t c = static_cast<size_t>(std::bit_width(capacity) - 1);
        if (free_blocks_.size() <= c) free_blocks_.resize(c + 1);
        free_blocks_[c].push_back(block);
    }

    // A fresh chunk of capacity entries, owned by the store, outside the blocks it hands out.
    Entry* chunk(size_t capacity) {
        static_assert(std::is_trivially_destructible_v<Entry>);
        const size_t bytes = capacity * sizeof(Entry);
        chunks_.emplace_back(nullptr, ChunkDeleter{bytes});
        chunks_.back().reset(static_cast<Entry*>(allocate_large(bytes)));
        return chunks_.back().get();
    }

    // Forgets the current chunk's unused tail (after a chunk was laid out by hand).
    void drop_tail() {
        unused_ = nullptr;
        unused_left_ = 0;
    }

private:
    struct ChunkDeleter {
        size_t bytes;
        void operator()(Entry* p) const noexcept { free_large(p, bytes); }
    };

    std::vector<std::unique_ptr<Entry, ChunkDeleter>> chunks_;
    Entry* unused_ = nullptr;  // start of the current chunk's never-used tail
    size_t unused_left_ = 0;
    // Free blocks by size class: class c holds blocks of at least 2^c entries.
    std::vector<std::vector<Entry*>> free_blocks_;
};

}  // namespace vorlane
