// The backend's calls in a build without libfprint: every one refuses.
#include "sdk/libfprint_reader.h"

bool LibfprintBackendBuilt() {
  return false;
}

int LibfprintListReaders(std::span<LibfprintDeviceEntry>, size_t* count) {
  *count = 0;
  return VRFPM_ERR_NOT_SUPPORTED;
}

int LibfprintOpenReader(LibfprintReader** reader, LibfprintDeviceEntry*) {
  *reader = nullptr;
  return VRFPM_ERR_NOT_SUPPORTED;
}

int LibfprintCaptureImage(LibfprintReader*, uint32_t, VRFPM_AbortCheck, void*,
                          std::span<unsigned char>, ImageDimensions*) {
  return VRFPM_ERR_NOT_SUPPORTED;
}

void LibfprintCloseReader(LibfprintReader*) {}
