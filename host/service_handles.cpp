#include "host/service_handles.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/trace_log.h"

namespace {

// These lines belong to the console, not to the trace file.
void AnnounceOnStdout(const char* what, const char* operation) {
  if (!trace_enabled(kTraceEverything)) return;
  char line[kServiceHandleLineBytes] = {0};
  snprintf(line, sizeof line, "%s %s\n", what, operation);
  fputs(line, stdout);
  fflush(stdout);
}

void ClearSlot(ServiceHandle* slot) {
  slot->in_use = 0;
  slot->owner = 0;
  slot->time_left_ms = 0;
  for (ServiceHandleItem& item : slot->items) {
    item.kind = 0;
    item.size = 0;
    item.reserved1 = 0;
    item.reserved2 = 0;
    free(item.data);
    item.data = nullptr;
  }
  slot->item_count = 0;
}

}  // namespace

ServiceHandleTable* InitUIDAIServices(int count) {
  AnnounceOnStdout("Called", "InitUIDAIServices");
  if (count < 0) return nullptr;
  auto* table = static_cast<ServiceHandleTable*>(calloc(1, sizeof(ServiceHandleTable)));
  if (table == nullptr) return nullptr;
  // calloc(0, ...) may give null; a table of no slots still needs to exist.
  size_t slots = count > 0 ? static_cast<size_t>(count) : 1;
  table->slots = static_cast<ServiceHandle*>(calloc(slots, sizeof(ServiceHandle)));
  if (table->slots == nullptr) {
    free(table);
    return nullptr;
  }
  table->count = count;
  AnnounceOnStdout("Leaving", "InitUIDAIServices");
  return table;
}

void TickUIDAIServices(ServiceHandleTable* table, uint32_t elapsed_ms) {
  if (table == nullptr) return;
  for (int i = 0; i < table->count; i++) {
    ServiceHandle* slot = &table->slots[i];
    if (!slot->in_use) continue;
    if (slot->time_left_ms < elapsed_ms) {
      (void)FreeUIDAIServiceHandle(table, i);  // i is in range
    } else {
      slot->time_left_ms -= elapsed_ms;
    }
  }
}

int FreeUIDAIServiceHandle(ServiceHandleTable* table, int index) {
  AnnounceOnStdout("Called", "FreeUIDAIServiceHandle");
  if (table == nullptr || index < 0 || index >= table->count) return -1;
  ClearSlot(&table->slots[index]);
  AnnounceOnStdout("Leaving", "FreeUIDAIServiceHandle");
  return 0;
}

void FreeUIDAIServices(ServiceHandleTable* table) {
  if (table == nullptr) return;
  for (int i = 0; i < table->count; i++) ClearSlot(&table->slots[i]);
  free(table->slots);
  free(table);
}
