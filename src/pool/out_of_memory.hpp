// Exhausted memory with a message for the user: a std::bad_alloc that says what could
// not be had and how large it was. Every binding turns it into a MemoryError carrying
// that text (a plain std::bad_alloc becomes a bare MemoryError). The text lives in the
// object, so that making, copying and rethrowing it (across the pool's threads, as an
// exception_ptr) allocates nothing.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <new>

namespace qk {

class OutOfMemory : public std::bad_alloc {
 public:
  // printf-style; a text longer than the buffer is cut short.
  [[gnu::format(printf, 2, 3)]] explicit OutOfMemory(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text_, sizeof text_, format, args);
    va_end(args);
  }
  const char* what() const noexcept override { return text_; }

 protected:
  OutOfMemory() noexcept = default;
  char text_[224] = "";
};

}  // namespace qk
