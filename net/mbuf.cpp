#include "net/mbuf.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

void mbuf_init(mbuf* mb, size_t initial_capacity) {
  mb->size = 0;
  mb->len = 0;
  mb->buf = nullptr;
  mbuf_resize(mb, initial_capacity);
}

void mbuf_free(mbuf* mb) {
  if (mb->buf != nullptr) {
    free(mb->buf);
    mbuf_init(mb, 0);
  }
}

void mbuf_resize(mbuf* mb, size_t new_size) {
  if (new_size > mb->size || (new_size < mb->size && new_size >= mb->len)) {
    char* p = static_cast<char*>(realloc(mb->buf, new_size));
    // realloc to 0 may free and return null; treat that as an empty buffer.
    if (p == nullptr && new_size != 0) return;
    mb->buf = p;
    mb->size = new_size;
  }
}

size_t mbuf_insert(mbuf* mb, size_t off, const void* data, size_t count) {
  if (off > mb->len) return 0;
  // Refuse counts whose end would pass the top of the address space.
  if (count > SIZE_MAX - reinterpret_cast<uintptr_t>(mb->buf)) return 0;
  if (count > SIZE_MAX - mb->len) return 0;

  if (mb->len + count <= mb->size) {
    if (mb->len > off) memmove(mb->buf + off + count, mb->buf + off, mb->len - off);
    if (data != nullptr && count > 0) memcpy(mb->buf + off, data, count);
    mb->len += count;
    return count;
  }

  double wanted = static_cast<double>(mb->len + count) * kMbufGrowthFactor;
  if (wanted >= static_cast<double>(SIZE_MAX)) return 0;
  size_t new_size = static_cast<size_t>(wanted);
  char* p = static_cast<char*>(realloc(mb->buf, new_size));
  if (p == nullptr) return 0;
  mb->buf = p;
  if (mb->len > off) memmove(mb->buf + off + count, mb->buf + off, mb->len - off);
  if (data != nullptr && count > 0) memcpy(mb->buf + off, data, count);
  mb->len += count;
  mb->size = new_size;
  return count;
}

size_t mbuf_append(mbuf* mb, const void* data, size_t count) {
  return mbuf_insert(mb, mb->len, data, count);
}

void mbuf_remove(mbuf* mb, size_t count) {
  if (count > 0 && count <= mb->len) {
    memmove(mb->buf, mb->buf + count, mb->len - count);
    mb->len -= count;
  }
}

void mbuf_trim(mbuf* mb, size_t keep) {
  if (mb->size <= keep || mb->len > mb->size / 4) return;
  if (mb->len == 0) {
    mbuf_free(mb);
  } else {
    mbuf_resize(mb, mb->len > keep ? mb->len : keep);
  }
}
