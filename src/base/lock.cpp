// lock.cpp -- the lock that serialises runs changing one file.
#include "base/lock.h"

#include <atomic>
#include <chrono>

#include "platform/platform.h"

namespace {

std::atomic<int> g_wait_ms{120000};

std::string folder_of(const std::string& path) {
  const size_t i = path.find_last_of(":\\/");
  return i == std::string::npos ? std::string(".") : path.substr(0, i + 1);
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

int change_lock_wait_ms() { return g_wait_ms.load(); }
void set_change_lock_wait_ms(int ms) { g_wait_ms.store(ms < 0 ? 0 : ms); }

int change_lock_take(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_wait_ms.load());
  for (;;) {
    const bool exists = pf_exists(path.c_str()) != 0;
    const int fd = exists ? pf_open_read(path.c_str()) : pf_open_folder(folder_of(path).c_str());
    if (fd < 0) {
      // It went (or came) between the look and the open: look again.
      if (pf_exists(path.c_str()) != (exists ? 1 : 0) && remaining_ms(deadline) > 0) continue;
      return -1;
    }
    if (pf_lock(fd, remaining_ms(deadline)) != 0) {
      pf_close(fd);
      return -1;
    }
    // Still the file that was locked, or still missing?
    const bool same = exists ? pf_same_file_fd(fd, path.c_str()) == 1 : pf_exists(path.c_str()) == 0;
    if (same) return fd;
    pf_close(fd);
    if (remaining_ms(deadline) == 0) return -1;
  }
}
