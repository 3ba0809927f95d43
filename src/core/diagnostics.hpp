// The library's one way to say something: a whole line, formatted as by
// printf, written with one write(2) to the stream its reader looks at.
//
// write(2) rather than stdio: the line cannot sit in a buffer of the host
// program (so nothing has to flush it before an exit or an abort), and it
// lands in order with the alert records written straight to descriptor 999.
// A line for standard output first flushes what the program printed before.
#pragma once

enum class message_stream : int {
  output = 1,  // start-up, configuration, platform and delivery messages
  error = 2,   // hook diagnostics and an unusable libssl
};

// Writes `format` and a line feed. A line too long for the stack buffer is
// formatted on the heap, or cut when memory runs out. errno is preserved.
[[gnu::format(printf, 2, 3)]] void print_message(message_stream stream, const char *format, ...);

// print_message on standard error, then abort().
[[noreturn, gnu::format(printf, 1, 2)]] void abort_with_message(const char *format, ...);
