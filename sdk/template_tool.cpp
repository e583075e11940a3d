// kv-template: the template the SDK makes from an image file, the same way a
// capture makes it: the virtual reader presents the file (images=), the
// image's quality goes into the record, and VRFPM_CreateTemplate extracts
// the minutiae from the pixels.
//
//   kv-template [--ansi] [--reader NX51|TRV08|KLM06X] [--finger N] IMAGE OUT
//
// IMAGE is an 8-bit PGM, a BMP or a WSQ file; OUT receives the ISO (default)
// or ANSI record. The template equals the one a capture of the same image
// returns (finger position 0 there). Exit status: 0 done, 1 the SDK failed
// (its code is printed), 2 bad arguments.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sdk/virtual_reader.h"
#include "sdk/vrfplib.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: kv-template [--ansi] [--reader NX51|TRV08|KLM06X] [--finger N] IMAGE OUT\n");
  return 2;
}

struct Handle {
  VRFPM_HANDLE h = nullptr;
  bool open = false;
  ~Handle() {
    if (open) VRFPM_CloseDevice(h);
    if (h != nullptr) VRFPM_Terminate(h);
  }
};

int Fail(const char* call, int rc) {
  fprintf(stderr, "kv-template: %s failed with %d\n", call, rc);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t format = VRFPM_FORMAT_ISO;
  const char* reader = "NX51";
  long finger = 0;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    if (strcmp(argv[i], "--ansi") == 0) {
      format = VRFPM_FORMAT_ANSI;
    } else if (strcmp(argv[i], "--reader") == 0 && i + 1 < argc) {
      reader = argv[++i];
    } else if (strcmp(argv[i], "--finger") == 0 && i + 1 < argc) {
      char* end = nullptr;
      finger = strtol(argv[++i], &end, 10);
      if (*end != '\0' || finger < 0 || finger > 10) return Usage();
    } else {
      return Usage();
    }
  }
  if (argc - i != 2) return Usage();
  const char* image_path = argv[i];
  const char* out_path = argv[i + 1];
  const VirtualReaderModel* model = VirtualReaderFindModelByName(reader, strlen(reader));
  if (model == nullptr || !model->usb) return Usage();
  // The configuration text separates its items with ';'.
  char config[kVirtualConfigTextBytes + 1];
  if (strchr(image_path, ';') != nullptr ||
      snprintf(config, sizeof config, "readers=%s;images=%s", model->name, image_path) >=
          static_cast<int>(sizeof config) ||
      VirtualReaderConfigure(config) != 0) {
    fprintf(stderr, "kv-template: cannot present %s (a path without ';', shorter than %zu bytes)\n",
            image_path, kVirtualImagesPathBytes);
    return 2;
  }

  Handle sdk;
  int rc = VRFPM_Create(&sdk.h);
  if (rc != VRFPM_OK) return Fail("VRFPM_Create", rc);
  if ((rc = VRFPM_Init(sdk.h, model->code)) != VRFPM_OK) return Fail("VRFPM_Init", rc);
  if ((rc = VRFPM_OpenDevice(sdk.h, VRFPM_OPEN_USB)) != VRFPM_OK)
    return Fail("VRFPM_OpenDevice", rc);
  sdk.open = true;
  VRFPM_DeviceInfo info;
  if ((rc = VRFPM_GetDeviceInfo(sdk.h, &info)) != VRFPM_OK) return Fail("VRFPM_GetDeviceInfo", rc);
  const size_t bytes = static_cast<size_t>(info.image_width) * info.image_height;
  unsigned char* image = static_cast<unsigned char*>(malloc(bytes));
  if (image == nullptr) return Fail("malloc", VRFPM_ERR_OUT_OF_MEMORY);
  struct FreeImage {
    unsigned char* p;
    ~FreeImage() { free(p); }
  } owner{image};
  if ((rc = VRFPM_GetImageEx(sdk.h, image, 0, 0, 0)) != VRFPM_OK)
    return Fail("VRFPM_GetImageEx", rc);
  uint32_t quality = 0;
  rc = VRFPM_GetImageQuality(sdk.h, info.image_width, info.image_height, image, &quality);
  if (rc != VRFPM_OK) return Fail("VRFPM_GetImageQuality", rc);
  if ((rc = VRFPM_SetTemplateFormat(sdk.h, format)) != VRFPM_OK)
    return Fail("VRFPM_SetTemplateFormat", rc);
  VRFPM_FingerInfo finger_info{static_cast<uint16_t>(finger), 0, 0, static_cast<uint16_t>(quality)};
  unsigned char record[VRFPM_TEMPLATE_BYTES];
  if ((rc = VRFPM_CreateTemplate(sdk.h, &finger_info, image, record)) != VRFPM_OK) {
    return Fail("VRFPM_CreateTemplate", rc);
  }
  uint32_t size = 0;
  if ((rc = VRFPM_GetTemplateSize(sdk.h, record, &size)) != VRFPM_OK)
    return Fail("VRFPM_GetTemplateSize", rc);
  FILE* out = fopen(out_path, "wb");
  if (out == nullptr || fwrite(record, 1, size, out) != size || fclose(out) != 0) {
    fprintf(stderr, "kv-template: cannot write %s\n", out_path);
    return 1;
  }
  printf("%s: %ux%u at %u ppi, quality %u, %u minutiae, %u bytes\n", image_path, info.image_width,
         info.image_height, info.image_dpi, quality,
         static_cast<unsigned>(record[format == VRFPM_FORMAT_ISO ? 27 : 29]), size);
  return 0;
}
