// The libfprint backend in a build without libfprint: the SDK refuses to
// create a handle on it, and every operation would refuse too.
#include "sdk/libfprint_reader.h"
#include "sdk/reader_backend.h"

namespace {

int Refuse() {
  return VRFPM_ERR_NOT_SUPPORTED;
}

}  // namespace

bool LibfprintBackendBuilt() {
  return false;
}

const ReaderBackend kLibfprintReaderBackend = {
    .name = "libfprint",
    .missing = "libfprint-2's development package was not found when it was built",
    .create =
        [](BackendState** state) {
          *state = nullptr;
          return Refuse();
        },
    .destroy = [](BackendState*) {},
    .fault = [](BackendState*, VirtualCall) { return 0; },
    .init = [](BackendState*, uint32_t) { return Refuse(); },
    .enumerate =
        [](BackendState*, std::span<EnumeratedReader>, uint32_t* count) {
          *count = 0;
          return Refuse();
        },
    .open = [](BackendState*, uint32_t, VRFPM_DeviceInfo*) { return Refuse(); },
    .fake_thresholds = [](const BackendState*) { return 0; },
    .set_fake_level = [](BackendState*, int) { return Refuse(); },
    .capture = [](BackendState*, const CaptureWait&, ImageDimensions*) { return Refuse(); },
    .close = [](BackendState*) {},
};
