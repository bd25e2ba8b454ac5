#pragma once

#include <future>
#include <thread>

namespace harness {

template <typename F>
auto Namespace::within(F fn) const -> decltype(fn()) {
  std::packaged_task<decltype(fn())()> task([this, &fn] {
    enter_on_this_thread();
    return fn();
  });
  auto result = task.get_future();
  std::thread(std::move(task)).join();
  return result.get();
}

}  // namespace harness
