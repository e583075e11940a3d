// The table of service handles: fixed slots that each hold a countdown and up
// to 11 heap buffers and are released when the countdown runs out. The
// service thread creates it at start, ticks it after every poll and is the
// only thread that touches it. At trace level 99 the operations announce
// themselves on standard output ("Called %s", "Leaving %s").
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kServiceHandleItems = 11;
inline constexpr int kServiceHandleSlots = 32;  // as the service creates the table
inline constexpr size_t kServiceHandleLineBytes = 260;

// A buffer held by a slot. data is a heap block owned by the item (malloc).
struct ServiceHandleItem {
  int kind;
  int size;
  void* data;
  int reserved1;
  int reserved2;
};

struct ServiceHandle {
  int in_use;    // non-zero while the slot is taken
  int owner;     // cleared at creation and release
  int reserved;  // never written here
  uint32_t time_left_ms;
  int item_count;  // cleared at creation and release
  ServiceHandleItem items[kServiceHandleItems];
};

// Owns slots[0 .. count).
struct ServiceHandleTable {
  int count;
  ServiceHandle* slots;
};

// A new table of count cleared slots, or null when memory runs out or count
// is negative. Free it with FreeUIDAIServices.
[[nodiscard]] ServiceHandleTable* InitUIDAIServices(int count);

// Ages every slot in use by elapsed_ms: a slot with less time left than that
// is released; otherwise the time is subtracted (so a slot that reaches 0 goes
// on the following tick). A null table is ignored.
void TickUIDAIServices(ServiceHandleTable* table, uint32_t elapsed_ms);

// Releases slot index: clears it and frees every item's data. Returns 0, or
// -1 when the table is null or the index is negative or not below the count.
[[nodiscard]] int FreeUIDAIServiceHandle(ServiceHandleTable* table, int index);

// Releases every slot and the table itself. The service never does (its table
// lives as long as the process); tests do.
void FreeUIDAIServices(ServiceHandleTable* table);
