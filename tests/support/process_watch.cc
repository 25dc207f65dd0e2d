#include "support/process_watch.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

namespace fernd {

char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) {
    return '?';
  }
  // "pid (command) state ...": the command may hold blanks and parentheses, the state follows
  // the last ')'.
  const std::size_t end = text.rfind(')');
  return end == std::string::npos || end + 2 >= text.size() ? '?' : text[end + 2];
}

bool process_in_system_call(pid_t pid, long number) {
  std::ifstream current("/proc/" + std::to_string(pid) + "/syscall");
  long running = -1;
  return static_cast<bool>(current >> running) && running == number;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void stop_and_continue(pid_t pid) {
  ASSERT_EQ(0, ::kill(pid, SIGSTOP));
  ASSERT_TRUE(wait_until([pid] { return process_state(pid) == 'T'; })) << "never stopped";
  ASSERT_EQ(0, ::kill(pid, SIGCONT));
  ASSERT_TRUE(wait_until([pid] { return process_state(pid) != 'T'; })) << "never continued";
}

}  // namespace fernd
