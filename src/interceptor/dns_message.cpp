// The questions of a DNS query as it leaves, and the name error that
// answers a refused one. Only what a resolver sends is read: a plain query
// (QR 0, opcode QUERY) with one to DNS_MAX_QUESTIONS questions whose names
// are written out label by label (no compression: no resolver compresses a
// question). Anything else is not a query to judge by name.
#include "interceptor/dns_message.hpp"

#include <string.h>

namespace {

constexpr size_t HEADER = 12;

unsigned word_at(const unsigned char *m, size_t at) { return static_cast<unsigned>(m[at]) << 8 | m[at + 1]; }

// Label bytes that could be read as something else in the text (a dot
// inside a label would make "x.amazonaws.com" of one label look like three)
// are written as \DDD; letters are lower-cased, as DNS compares them.
char *put_label_byte(char *out, unsigned char byte) {
  if (byte >= 'A' && byte <= 'Z') {
    *out++ = static_cast<char>(byte - 'A' + 'a');
  } else if (byte > 0x20 && byte < 0x7f && byte != '.' && byte != '\\') {
    *out++ = static_cast<char>(byte);
  } else {
    *out++ = '\\';
    *out++ = static_cast<char>('0' + byte / 100);
    *out++ = static_cast<char>('0' + byte / 10 % 10);
    *out++ = static_cast<char>('0' + byte % 10);
  }
  return out;
}

}  // namespace

int dns_query_questions(const unsigned char *message, size_t length) {
  if (message == nullptr || length < HEADER) return 0;
  const bool response = message[2] & 0x80;
  const unsigned opcode = message[2] >> 3 & 0x0f;
  const unsigned questions = word_at(message, 4);
  if (response || opcode != 0 || questions == 0 || questions > DNS_MAX_QUESTIONS) return 0;
  return static_cast<int>(questions);
}

bool dns_read_question(const unsigned char *message, size_t length, size_t *offset, char (&name)[DNS_NAME_TEXT]) {
  size_t at = *offset;
  char *out = name;
  size_t wire_length = 0;
  for (;;) {
    if (at >= length) return false;
    const unsigned label = message[at++];
    if (label == 0) break;
    if (label > 63 || at + label > length) return false;  // compression or a cut message
    wire_length += label + 1;
    if (wire_length > 254) return false;
    if (out != name) *out++ = '.';
    for (unsigned i = 0; i < label; ++i) out = put_label_byte(out, message[at + i]);
    at += label;
  }
  if (out == name) *out++ = '.';  // the root
  *out = '\0';
  if (at + 4 > length) return false;  // type and class
  *offset = at + 4;
  return true;
}

size_t dns_questions_end(const unsigned char *message, size_t length) {
  const int questions = dns_query_questions(message, length);
  if (questions == 0) return 0;
  size_t at = HEADER;
  char name[DNS_NAME_TEXT];
  for (int i = 0; i < questions; ++i)
    if (!dns_read_question(message, length, &at, name)) return 0;
  return at;
}

size_t dns_name_error(const unsigned char *query, size_t questions_end, unsigned char *out, size_t capacity) {
  if (questions_end < HEADER || questions_end > capacity) return 0;
  memcpy(out, query, questions_end);
  out[2] = static_cast<unsigned char>(0x80 | (query[2] & 0x79));  // a response; opcode and RD kept, AA and TC clear
  out[3] = 0x80 | 3;                                              // recursion available; NXDOMAIN
  memset(out + 6, 0, 6);                                          // no answer, authority or additional records
  return questions_end;
}
