#include "device/device_thread.h"

namespace {

void Loop(DeviceThread* device) {
  for (;;) {
    DeviceJob* job = nullptr;
    {
      std::unique_lock<std::mutex> lock(device->mutex);
      device->wake.wait(lock, [&] { return device->job != nullptr || device->stopping; });
      // A job accepted before the stop still runs (cancelled), so that its
      // submitter gets it back through `finished`.
      if (device->job == nullptr) return;
      job = device->job;
    }
    job->run(job);
    {
      std::lock_guard<std::mutex> lock(device->mutex);
      device->job = nullptr;
    }
    // Idle before the hand-back: whoever is told the job is done finds the
    // reader free.
    job->finished(job);
  }
}

}  // namespace

void DeviceThreadStart(DeviceThread* device) {
  device->thread = std::thread(Loop, device);
}

int DeviceThreadSubmit(DeviceThread* device, DeviceJob* job) {
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->job != nullptr || device->stopping) return -1;
    device->job = job;
  }
  device->wake.notify_one();
  return 0;
}

void DeviceThreadStop(DeviceThread* device) {
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    device->stopping = true;
    if (device->job != nullptr) device->job->cancel.store(true);
  }
  device->wake.notify_one();
  if (device->thread.joinable()) device->thread.join();
}
