// Policy and reporting: judging events, delivering alert records, the
// analytics record and the TLS client on a run-time loaded libssl.
//
//   evaluation.cpp      policy_callback, policy_needs_judgement, starts_with, ends_with,
//                       platform_host_exempt
//   lookup.cpp          lookup_mode: name lookups, once per name under alert
//   exempt_programs.cpp is_program, shell_can_be_redirected (exempt_programs.hpp)
//   runtime_start.cpp   is_runtime_start, in_place_start_passes: the in-place
//                       rule (exempt_programs.hpp)
//   start_phase.cpp     the start phase: start_phase_open, end_start_phase,
//                       start_phase_passes_open, start_phase_handler_found,
//                       start_phase_sees_connection
//   event_reader.cpp    read_event
//   alert_delivery.cpp  report_alert
//   analytics.cpp       send_analytics, build_analytics_record, sha256_hex
//   libssl.cpp          libssl_handle, the entry-point table, libssl_ready,
//                       carry_libssl_choice
//   libssl_search.cpp   where the loader would find each candidate (libssl_search.hpp)
//   tls_client.cpp      post_analytics
//
// Stands on core; knows the interceptor only through the event text and the
// verdict callback's type in core/contract.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/contract.hpp"

// Build-time configuration (TESSELGUARD_ANALYTICS_HOST / _PORT).
constexpr const char *ANALYTICS_HOST = ANALYTICS_HOST_TEXT;
constexpr const char *ANALYTICS_PORT = ANALYTICS_PORT_TEXT;

int policy_callback(const char *event_text);
// The judgement_needed_check of the contract.
bool policy_needs_judgement(const char *event_name);

// What a judgement reads from an event: each text null when missing or not
// a string. "argv" is the items of the array (none unless an array), each
// its text or null when not a string.
struct event_view {
  const char *name = nullptr;
  const char *timestamp = nullptr;
  const char *path = nullptr;
  const char *ip = nullptr;
  const char *hostname = nullptr;
  int argv_count = 0;
  const char *const *argv = nullptr;
};
// An event text read into a view, with the storage the view points into:
// the caller's stack for usual events, the heap for long ones.
struct event_reading {
  event_view view;
  char local_text[1024];
  char *text = local_text;
  const char *local_items[16];
  const char **items = local_items;
  int item_capacity = 16;
  ~event_reading();
};
// False when the text is null or not JSON.
bool read_event(const char *text, event_reading *reading);
bool starts_with(const char *prefix, const char *text);
// True for a host name of the platform's own endpoints (and the library's
// analytics host): exempt from the outbound rule.
bool platform_host_exempt(const char *host);
// The mode of a lookup of `name` ("lookup" events): the outbound rule's,
// allow for exempt names and, under alert, for a name alerted before.
int32_t lookup_mode(const char *name);
bool ends_with(const char *suffix, const char *text);

int report_alert(const char *text);

// The start phase (start_phase.cpp), kept in the shared record for the
// whole function. Only a process that may write the record advances or
// ends it; in any other the phase is only read.
bool start_phase_open();
void end_start_phase();
// An open of `path` (absolute, canonical) seen by the phase: true when it is
// the runtime's own read of the handler in the function's first process,
// which is then not judged. Other code files and extra reads end the phase.
bool start_phase_passes_open(const char *path);
// The handler was just found by a configuration call from the function's
// own code: if this process already opened it, the runtime's reads are spent.
void start_phase_handler_found();
// A connection to the Lambda Runtime API ends the phase.
void start_phase_sees_connection(const event_view &event);
// The event a server's accepted connection raises: it only ends the phase.
constexpr const char *ACCEPT_EVENT = "accept";

void send_analytics();
char *build_analytics_record();
void sha256_hex(const char *text, char *out /* at least 65 bytes */);

// OpenSSL 1.0.x entry points, resolved when first needed; the library never links
// OpenSSL, so its types stay opaque here.
struct ssl_st;
struct ssl_ctx_st;
struct ssl_method_st;
struct bio_st;
struct sha256_state_st;

struct libssl_api {
  long (*BIO_ctrl)(bio_st *, int, long, void *);
  int (*BIO_free)(bio_st *);
  void (*BIO_free_all)(bio_st *);
  bio_st *(*BIO_new_fp)(void *stream, int close_flag);
  bio_st *(*BIO_new_ssl_connect)(ssl_ctx_st *);
  int (*BIO_printf)(bio_st *, const char *, ...);
  int (*BIO_puts)(bio_st *, const char *);
  int (*BIO_read)(bio_st *, void *, int);
  int (*BIO_test_flags)(const bio_st *, int);
  int (*SHA256_Final)(unsigned char *, sha256_state_st *);
  int (*SHA256_Init)(sha256_state_st *);
  int (*SHA256_Update)(sha256_state_st *, const void *, size_t);
  long (*SSL_CTX_ctrl)(ssl_ctx_st *, int, long, void *);
  void (*SSL_CTX_free)(ssl_ctx_st *);
  ssl_ctx_st *(*SSL_CTX_new)(const ssl_method_st *);
  long (*SSL_ctrl)(ssl_st *, int, long, void *);
  int (*SSL_library_init)();
  void (*SSL_load_error_strings)();
  int (*SSL_set_cipher_list)(ssl_st *, const char *);
  const ssl_method_st *(*SSLv23_method)();
};

extern void *libssl_handle;
extern libssl_api ssl_api;

// True once libssl is open and its entry points resolved: the first call
// in a process opens it (printing, on standard error, why it cannot be used
// when it cannot). False also while another thread is opening it.
bool libssl_ready();
// For programs that fill ssl_api themselves (the fuzz targets): libssl_ready
// then answers true without opening anything.
void mark_libssl_ready();
// Start-up, before the interceptor captures the variables it carries: a
// process whose environment names no libssl file passes on an empty value
// (search), so that started programs never get one chosen by the caller.
void carry_libssl_choice();
// Takes ownership of `record` and frees it.
void post_analytics(char *record);
