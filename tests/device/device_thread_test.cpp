// The device thread: one job at a time, a busy thread refuses, a finished job
// finds the thread idle, a stop cancels the job in hand and still hands it back.
#include "device/device_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

struct TestJob : DeviceJob {
  DeviceThread* device = nullptr;
  std::atomic<bool> release_run{false};
  std::atomic<bool> ran{false};
  std::atomic<bool> saw_cancel{false};
  std::atomic<int> resubmit_rc{1};
  std::atomic<bool> done{false};
  TestJob* next = nullptr;  // submitted from `finished`, when set
};

void Run(DeviceJob* job) {
  auto* t = static_cast<TestJob*>(job);
  t->ran = true;
  while (!t->release_run && !t->cancel) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  t->saw_cancel = t->cancel.load();
}

void Finished(DeviceJob* job) {
  auto* t = static_cast<TestJob*>(job);
  if (t->next != nullptr) t->resubmit_rc = DeviceThreadSubmit(t->device, t->next);
  t->done = true;
}

void Init(TestJob* job, DeviceThread* device) {
  job->run = Run;
  job->finished = Finished;
  job->device = device;
}

bool WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag;
}

TEST(DeviceThread, OneJobAtATimeAndIdleWhenItIsHandedBack) {
  DeviceThread device;
  DeviceThreadStart(&device);
  TestJob first, second, third;
  Init(&first, &device);
  Init(&second, &device);
  Init(&third, &device);
  first.next = &third;  // submitted from first's hand-back: the thread is idle by then

  ASSERT_EQ(DeviceThreadSubmit(&device, &first), 0);
  ASSERT_TRUE(WaitFor(first.ran));
  EXPECT_EQ(DeviceThreadSubmit(&device, &second), -1) << "busy while the first runs";
  EXPECT_FALSE(second.ran);
  first.release_run = true;
  ASSERT_TRUE(WaitFor(first.done));
  EXPECT_EQ(first.resubmit_rc, 0);
  third.release_run = true;
  ASSERT_TRUE(WaitFor(third.done));
  DeviceThreadStop(&device);
}

TEST(DeviceThread, StopCancelsTheJobInHandAndStillHandsItBack) {
  DeviceThread device;
  DeviceThreadStart(&device);
  TestJob job, late;
  Init(&job, &device);
  Init(&late, &device);
  ASSERT_EQ(DeviceThreadSubmit(&device, &job), 0);
  ASSERT_TRUE(WaitFor(job.ran));
  DeviceThreadStop(&device);
  EXPECT_TRUE(job.saw_cancel);
  EXPECT_TRUE(job.done);
  EXPECT_EQ(DeviceThreadSubmit(&device, &late), -1);

  DeviceThread never_started;
  DeviceThreadStop(&never_started);
}

}  // namespace
