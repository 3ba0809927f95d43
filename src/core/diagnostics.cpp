#include "core/diagnostics.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

void write_all(int fd, const char *text, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

void print_line(message_stream stream, const char *format, va_list args) {
  const int saved_errno = errno;
  char buffer[512];
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(buffer, sizeof buffer - 1, format, args);
  if (length < 0) {
    va_end(again);
    errno = saved_errno;
    return;
  }
  char *line = buffer;
  size_t size = static_cast<size_t>(length);
  if (size >= sizeof buffer - 1) {
    // Room for the text and its line feed; when none can be had, the text
    // stays cut at the stack buffer's size.
    if (char *heap = static_cast<char *>(malloc(size + 2))) {
      vsnprintf(heap, size + 1, format, again);
      line = heap;
    } else {
      size = sizeof buffer - 2;
    }
  }
  va_end(again);
  line[size] = '\n';
  // What the program has already printed comes first: its stdio buffer is
  // flushed before the line goes out, so the log keeps the order of events.
  if (stream == message_stream::output) fflush(stdout);
  write_all(static_cast<int>(stream), line, size + 1);
  if (line != buffer) free(line);
  errno = saved_errno;
}

}  // namespace

void print_message(message_stream stream, const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_line(stream, format, args);
  va_end(args);
}

void abort_with_message(const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_line(message_stream::error, format, args);
  va_end(args);
  abort();
}
