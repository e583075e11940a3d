// The device thread: reader work (captures and matches) runs here, off the
// poll loop, one job at a time, so that at most one SDK session is open and
// the loop never waits for a finger. It takes a job only when it is idle; the
// caller answers a busy reader itself, so a job never waits behind another.
//
// Ownership: the DeviceThread record belongs to whoever starts it and must
// outlive the thread (DeviceThreadStop joins it). A job belongs to its
// submitter, which keeps it alive until the job's `finished` has run; from
// the moment `finished` is called the device thread no longer touches it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct DeviceJob {
  void (*run)(DeviceJob* job);       // device thread: the work
  void (*finished)(DeviceJob* job);  // device thread, after run, when the thread is idle again
  std::atomic<bool> cancel{false};   // any thread: run ends at its next SDK call
};

struct DeviceThread {
  std::mutex mutex;
  std::condition_variable wake;
  DeviceJob* job = nullptr;  // accepted and not yet finished (waiting or running); under mutex
  bool stopping = false;     // under mutex
  std::thread thread;
};

// Starts the thread. Call once per record.
void DeviceThreadStart(DeviceThread* device);

// Hands job to the thread when it has no job. Returns 0 when accepted, or -1
// when the thread is busy or stopping (the job was not touched).
[[nodiscard]] int DeviceThreadSubmit(DeviceThread* device, DeviceJob* job);

// Cancels the job in hand, lets it finish (its `finished` still runs, on the
// device thread) and joins the thread; later submissions are refused. Safe on
// a record that was never started.
void DeviceThreadStop(DeviceThread* device);
