// Reading the questions of a DNS query and writing the name error that
// answers it (dns_message.cpp).
#pragma once

#include <cstddef>

// A question's name as text: labels joined by dots, lower-cased, bytes that
// are not plain printable ones (a dot inside a label included) as \DDD.
constexpr size_t DNS_NAME_TEXT = 1024;
constexpr int DNS_MAX_QUESTIONS = 4;

// The number of questions of a plain query (QR 0, opcode QUERY), 0 when the
// message is none or asks more than DNS_MAX_QUESTIONS.
int dns_query_questions(const unsigned char *message, size_t length);
// The question at *offset: its name into `name`, *offset past its type and
// class. False when it is cut short or compressed.
bool dns_read_question(const unsigned char *message, size_t length, size_t *offset, char (&name)[DNS_NAME_TEXT]);
// Where the questions of a query end; 0 when it is not a query that can be
// read whole.
size_t dns_questions_end(const unsigned char *message, size_t length);
// The answer "no such name" to `query` (its header and questions, which end
// at `questions_end`) into `out`; its length, 0 when it does not fit.
size_t dns_name_error(const unsigned char *query, size_t questions_end, unsigned char *out, size_t capacity);
