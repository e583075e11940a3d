#include "device/reader_list.h"

#include <cstdio>
#include <cstring>

#include "device/fingerprint_device.h"
#include "sdk/vrfplib.h"

namespace {

// Releases the SDK object on every path out; no reader is ever opened here.
class EnumerationHandle {
 public:
  EnumerationHandle() = default;
  EnumerationHandle(const EnumerationHandle&) = delete;
  EnumerationHandle& operator=(const EnumerationHandle&) = delete;
  ~EnumerationHandle() {
    if (handle_ != nullptr) VRFPM_Terminate(handle_);
  }
  [[nodiscard]] int Create() { return VRFPM_Create(&handle_); }
  VRFPM_HANDLE get() const { return handle_; }

 private:
  VRFPM_HANDLE handle_ = nullptr;
};

void NameModel(VRFPM_HANDLE h, uint32_t index, uint32_t code, char (&out)[kReaderModelBytes]) {
  if (VRFPM_GetDeviceModel(h, index, out, sizeof out) == VRFPM_OK && out[0] != '\0') return;
  if (const char* name = ReaderModelName(code)) {
    snprintf(out, sizeof out, "%s", name);
  } else {
    snprintf(out, sizeof out, "code %u", code);
  }
}

}  // namespace

int ListReaders(std::span<ReaderListing> out, size_t* count) {
  *count = 0;
  EnumerationHandle sdk;
  if (int rc = sdk.Create(); rc != VRFPM_OK) return rc;
  uint32_t listed = 0;
  VRFPM_DeviceListEntry* list = nullptr;  // the SDK's; valid until Terminate
  if (int rc = VRFPM_EnumerateDevice(sdk.get(), &listed, &list); rc != VRFPM_OK) return rc;
  if (list == nullptr) return VRFPM_OK;
  size_t n = 0;
  for (uint32_t i = 0; i < listed && n < out.size(); ++i, ++n) {
    ReaderListing& r = out[n];
    NameModel(sdk.get(), i, list[i].device_name, r.model);
    static_assert(sizeof list[i].serial + 1 == sizeof r.serial_number);
    memcpy(r.serial_number, list[i].serial, sizeof list[i].serial);
    r.serial_number[sizeof list[i].serial] = '\0';
  }
  *count = n;
  return VRFPM_OK;
}

int FindReaderBySerial(const char* serial, ReaderLocation* where) {
  *where = {};
  EnumerationHandle sdk;
  if (int rc = sdk.Create(); rc != VRFPM_OK) return rc;
  uint32_t listed = 0;
  VRFPM_DeviceListEntry* list = nullptr;  // the SDK's; valid until Terminate
  if (int rc = VRFPM_EnumerateDevice(sdk.get(), &listed, &list); rc != VRFPM_OK) return rc;
  for (uint32_t i = 0; list != nullptr && i < listed; ++i) {
    char listed_serial[kReaderSerialBytes];
    memcpy(listed_serial, list[i].serial, sizeof list[i].serial);
    listed_serial[sizeof list[i].serial] = '\0';
    if (strcmp(listed_serial, serial) == 0) {
      *where = {true, list[i].device_name, list[i].device_index};
      return VRFPM_OK;
    }
  }
  return VRFPM_OK;
}
