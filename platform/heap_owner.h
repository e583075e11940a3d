// Owners for blocks of the C heap and C stdio files, so that every path out
// of a function releases them. The blocks are the ones the C-style interfaces
// of this service hand out (malloc'd texts, decoded bytes, BMP files).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

struct HeapBlockFree {
  void operator()(void* p) const { free(p); }
};
using HeapText = std::unique_ptr<char, HeapBlockFree>;
using HeapBytes = std::unique_ptr<unsigned char, HeapBlockFree>;

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
