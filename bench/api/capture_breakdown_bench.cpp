// The time of one capture on the virtual reader, stage by stage, as the
// service runs them: image (open the reader and take the image), quality,
// NFIQ, WSQ, template, encryption of the template, the reply's Base64, BMP
// and JSON, and sending the reply over a loopback socket to a client that
// reads it all. Prints the median and the 90th percentile in milliseconds.
// Usage: capture_breakdown_bench [captures (30)] [reader (NX51)]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/capture_endpoint.h"
#include "codec/aes256.h"
#include "device/fingerprint_device.h"
#include "net/event_manager.h"
#include "net/listener.h"
#include "platform/heap_owner.h"
#include "sdk/vrfplib.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Check(int rc, const char* what) {
  if (rc != VRFPM_OK) {
    fprintf(stderr, "%s failed: %d\n", what, rc);
    exit(1);
  }
}

// A loopback connection whose server side is an ns_conn of a real manager:
// the reply is sent by the poll loop as the service sends it, and a client
// thread reads it whole.
struct LoopbackSend {
  ns_mgr mgr;
  ns_conn* server = nullptr;
  int client = -1;

  static void Accept(ns_conn* nc, int ev, void*) {
    if (ev == NS_EV_ACCEPT) static_cast<LoopbackSend*>(nc->user_data)->server = nc;
  }
  LoopbackSend() {
    ns_mgr_init(&mgr, nullptr);
    ns_bind_opts opts{this, 0, nullptr};
    ns_conn* listener = ns_bind_opt(&mgr, "127.0.0.1:0", Accept, opts);
    if (listener == nullptr) exit(1);
    client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&listener->sa), sizeof listener->sa) != 0) {
      exit(1);
    }
    while (server == nullptr) ns_mgr_poll(&mgr, 10);
  }
  ~LoopbackSend() {
    close(client);
    ns_mgr_free(&mgr);
  }
  double Send(const std::string& reply) {
    std::atomic<bool> done{false};
    std::thread reader([&] {
      std::vector<char> buf(65536);
      size_t got = 0;
      while (got < reply.size()) {
        ssize_t n = recv(client, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      done = true;
    });
    const Clock::time_point start = Clock::now();
    ns_send(server, reply.data(), reply.size());
    while (!done) ns_mgr_poll(&mgr, 1);
    const double ms = MsSince(start);
    reader.join();
    return ms;
  }
};

struct Stage {
  const char* name;
  std::vector<double> ms;
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
  const int captures = argc > 1 ? atoi(argv[1]) : 30;
  const char* reader = argc > 2 ? argv[2] : "NX51";
  const int device = GetDeviceIdFromName(reader);
  if (device < 0 || device == NO_USB_DEVICE) {
    fprintf(stderr, "no virtual reader: %d\n", device);
    return 1;
  }
  Stage image{"image (open, capture)", {}}, quality{"quality", {}}, nfiq{"NFIQ", {}},
      wsq{"WSQ 0.75", {}}, tmpl{"template (ISO)", {}}, encrypt{"encryption (AES-256)", {}},
      json{"Base64, BMP, JSON", {}}, send{"send (loopback)", {}}, total{"total", {}};
  auto result = std::make_unique<CaptureResult>();
  LoopbackSend link;
  unsigned char key[kAesKeyBytes];
  for (size_t i = 0; i < sizeof key; i++) key[i] = static_cast<unsigned char>(i * 7 + 1);
  size_t reply_bytes = 0;

  for (int i = 0; i < captures; i++) {
    Clock::time_point t = Clock::now();
    const Clock::time_point first = t;
    VRFPM_HANDLE h = nullptr;
    Check(VRFPM_Create(&h), "create");
    Check(VRFPM_Init(h, static_cast<uint32_t>(device)), "init");
    Check(VRFPM_OpenDevice(h, VRFPM_OPEN_USB), "open");
    VRFPM_DeviceInfo info;
    Check(VRFPM_GetDeviceInfo(h, &info), "device info");
    Check(VRFPM_GetImageEx(h, result->image_data, 10000, 0, 50), "image");
    image.ms.push_back(MsSince(t));

    t = Clock::now();
    uint32_t q = 0;
    Check(VRFPM_GetImageQuality(h, info.image_width, info.image_height, result->image_data, &q),
          "quality");
    quality.ms.push_back(MsSince(t));

    t = Clock::now();
    result->nfiq =
        ComputeNFIQ(result->image_data, static_cast<int>(info.image_width),
                    static_cast<int>(info.image_height), static_cast<int>(info.image_dpi));
    nfiq.ms.push_back(MsSince(t));

    t = Clock::now();
    unsigned char* wsq_block = nullptr;
    Check(VRFPM_EncodeWSQ(h, &wsq_block, &result->wsq_size, 0.75f, result->image_data,
                          info.image_width, info.image_height, 8, info.image_dpi, "Kestrav"),
          "WSQ");
    free(result->wsq_data);
    result->wsq_data = static_cast<unsigned char*>(malloc(static_cast<size_t>(result->wsq_size)));
    memcpy(result->wsq_data, wsq_block, static_cast<size_t>(result->wsq_size));
    VRFPM_FreeWSQ(h, wsq_block);
    wsq.ms.push_back(MsSince(t));

    t = Clock::now();
    Check(VRFPM_SetTemplateFormat(h, VRFPM_FORMAT_ISO), "template format");
    VRFPM_FingerInfo finger{1, 0, 0, static_cast<uint16_t>(q)};
    Check(VRFPM_CreateTemplate(h, &finger, result->image_data, result->template_data), "template");
    Check(VRFPM_GetTemplateSize(h, result->template_data, &result->template_size), "size");
    tmpl.ms.push_back(MsSince(t));
    VRFPM_CloseDevice(h);
    VRFPM_Terminate(h);

    t = Clock::now();
    int cipher_len = 0;
    HeapBytes cipher(EncryptAES256(result->template_data,
                                   static_cast<int32_t>(result->template_size), key, &cipher_len));
    encrypt.ms.push_back(MsSince(t));

    result->manufacturer = kReaderManufacturer;
    memcpy(result->model, reader, std::min(strlen(reader), sizeof result->model - 1));
    result->image_width = info.image_width;
    result->image_height = info.image_height;
    result->image_dpi = info.image_dpi;
    result->image_quality = q;
    // The plain template: the encryption is timed on its own above.
    CaptureReplyOptions options{reader, true, 0.75f, kTemplateFormatIso, nullptr};
    t = Clock::now();
    JsonReply reply;
    if (BuildCaptureJson(result.get(), &options, &reply) != 0) return 1;
    std::string_view body = JsonText(&reply);
    std::string http = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
    json.ms.push_back(MsSince(t));
    reply_bytes = http.size();

    send.ms.push_back(link.Send(http));
    total.ms.push_back(MsSince(first));
  }
  ReleaseCaptureResult(result.get());

  printf(
      "capture on the virtual %s reader, %d captures, reply %zu bytes (raw image, BMP, WSQ, "
      "ISO template)\n",
      reader, captures, reply_bytes);
  printf("%-24s %10s %10s\n", "stage", "median ms", "p90 ms");
  for (const Stage* s : {&image, &quality, &nfiq, &wsq, &tmpl, &encrypt, &json, &send, &total}) {
    printf("%-24s %10.3f %10.3f\n", s->name, Percentile(s->ms, 0.5), Percentile(s->ms, 0.9));
  }
  return 0;
}
