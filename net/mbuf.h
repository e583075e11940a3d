// Growable byte buffer over one C-heap block. Every connection owns two (receive
// and send); the bytes in use are buf[0 .. len). An all-zero mbuf is a valid
// empty buffer without storage. Not thread-safe: used by the network thread.
#pragma once

#include <cstddef>

struct mbuf {
  char* buf;    // heap block, null while the buffer has no storage
  size_t len;   // bytes in use, at the start of the block
  size_t size;  // capacity of the block
};

// Growth factor of the needed length when an insert does not fit.
inline constexpr double kMbufGrowthFactor = 1.5;

// Zeroes the buffer, then resizes it to initial_capacity.
void mbuf_init(mbuf* mb, size_t initial_capacity);

// Releases the storage; all three fields become zero. A buffer without
// storage is left unchanged.
void mbuf_free(mbuf* mb);

// Reallocates to exactly new_size when growing, or when shrinking but not
// below len; otherwise (or when the heap is exhausted) does nothing.
void mbuf_resize(mbuf* mb, size_t new_size);

// Inserts count bytes at offset off (not beyond len), growing to
// (len + count) * 1.5 when they do not fit. data may be null: the gap is then
// opened and left for the caller to fill. Returns count, or 0 with the buffer
// unchanged when the heap is exhausted or the count is absurd.
[[nodiscard]] size_t mbuf_insert(mbuf* mb, size_t off, const void* data, size_t count);

// mbuf_insert at the end.
size_t mbuf_append(mbuf* mb, const void* data, size_t count);

// Discards count bytes from the front when 0 < count <= len; otherwise does
// nothing. The capacity is kept.
void mbuf_remove(mbuf* mb, size_t count);

// Gives back storage that one large message left behind: when the capacity
// exceeds keep bytes and at most a quarter of it is in use, the block is
// released (no bytes in use) or shrunk to the larger of len and keep. The
// bytes in use stay; when the heap refuses, nothing changes.
void mbuf_trim(mbuf* mb, size_t keep);
