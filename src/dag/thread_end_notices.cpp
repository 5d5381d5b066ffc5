#include "dag/thread_end_notices.hpp"

namespace pelmo {

const pthread_key_t* ThreadEndNotices::end_key() noexcept {
  // One key for the process, never deleted: a thread may still be ending
  // while static objects are destroyed.
  static const pthread_key_t* const key = []() -> const pthread_key_t* {
    static pthread_key_t created;
    return pthread_key_create(&created, &announce) == 0 ? &created : nullptr;
  }();
  return key;
}

int ThreadEndNotices::create(pthread_t* thread, const pthread_attr_t* attributes,
                             void* (*entry)(void*), void* argument) {
  Notice& notice = notices_.emplace_back(Notice{this, entry, argument});
  const int error = pthread_create(thread, attributes, &run, &notice);
  if (error != 0) notices_.pop_back();
  return error;
}

void* ThreadEndNotices::run(void* raw) {
  auto* notice = static_cast<Notice*>(raw);
  // Without the key the end would go unnoticed: announced now, the thread is
  // then waited for in a plain join, with no calls meanwhile.
  const pthread_key_t* key = end_key();
  if (key == nullptr || pthread_setspecific(*key, notice) != 0) announce(notice);
  return notice->entry(notice->argument);
}

void ThreadEndNotices::announce(void* raw) noexcept {
  auto* notice = static_cast<Notice*>(raw);
  // The joiner's pthread_join, which comes after the notice, still waits for
  // the rest of this thread's end, this call included.
  std::lock_guard<std::mutex> lock(notice->owner->mutex_);
  notice->ended = true;
  notice->owner->end_noticed_.notify_all();
}

bool ThreadEndNotices::wait_for_end(std::size_t index, std::chrono::steady_clock::time_point due) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Notice& notice = notices_[index];
  return end_noticed_.wait_until(lock, due, [&notice] { return notice.ended; });
}

}  // namespace pelmo
