// GoogleTest's Notification for the Windows builds, on an event of the
// system's own: the Windows thread model of mingw-w64's GCC before 13 has no
// std::mutex, which GoogleTest's own one needs. Included ahead of every
// Windows source that may see GoogleTest.
#pragma once

#ifdef __cplusplus
#include <windows.h>

namespace testing::internal {

class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace testing::internal

#define GTEST_HAS_NOTIFICATION_ 1
#endif
