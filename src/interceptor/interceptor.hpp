// Interception: events and verdicts, the shared slots and configuration,
// the replacement functions and the set-up that installs them.
//
//   events.cpp             verdict_callback slot, begin_event, judge_event
//   hook_table.hpp         the hooked functions (real_* slots, hooked_*
//                          prototypes, set-up rows), interceptor_init statuses
//   config.cpp             interceptor_config, load_interceptor_config,
//                          real_* slots, dns_db_lock
//   path.cpp               absolute_path, lexical_absolute_path, own_path_work
//   file_open.cpp          hooked_open, hooked_openat, hooked_fopen, hooked_creat,
//                          hooked___open_nocancel
//   open_resolution.cpp    descriptor_path, judge_descriptor, creation targets
//   open_judgement.cpp     judge_file_open, judge_canonical_path
//   python_temp_files.cpp  python_temp_file_route, hooked_unlink: gunicorn's
//                          heartbeat and tempfile's probe as memory files
//   name_creation.cpp      hooked_mkdir, hooked_symlink, hooked_link,
//                          hooked_mknod, hooked_rename, hooked_bind and their
//                          *at forms
//   (the open routes call one way: file_open.cpp and name_creation.cpp ->
//   open_resolution.cpp -> open_judgement.cpp -> path.cpp)
//   network.cpp            dns_db, hooked_getaddrinfo, hooked_connect,
//                          read_destination, judge_destination, judge_connection
//   network_send.cpp       hooked_sendto, hooked_sendmsg, hooked_sendmmsg
//   network_accept.cpp     hooked_accept, hooked_accept4: the end of the start phase
//   resolver_traffic.cpp   the resolver's callers and name servers
//   dns_message.cpp        a query's questions, the name error (dns_message.hpp)
//   dns_wire.cpp           lookups judged as their queries leave: name-server
//                          socket marks, hooked_send, hooked_write,
//                          hooked_writev, hooked_recvfrom, hooked_dup
//   descriptor_protection.cpp  hooked_close, hooked_dup2, hooked_dup3,
//                          hooked_close_range, hooked_closefrom, hooked_fcntl,
//                          hooked_ioctl, hooked___close_nocancel, the
//                          function's log kept for every program start
//   process_execution.cpp  init_child_injection, process_execution,
//                          judge_program_start
//   exec_environment.cpp   build_exec_environment, hooked_execve,
//                          hooked_execveat, hooked_fexecve, hooked_posix_spawn,
//                          hooked_posix_spawnp
//   loader_variables.cpp   judge_loader_writes: LD_DEBUG_OUTPUT, LD_PROFILE
//   state_guard.cpp        hooked_truncate, hooked_ftruncate, the record's
//                          pages (mprotect, munmap, mmap, ...), other
//                          processes' memory (process_vm_*, ptrace),
//                          hooked_syscall
//   system_call_routes.cpp route_watched_syscall: syscall() with a watched
//                          call's number judged as that call
//   setup.cpp              interceptor_init, install_hook_rows, the fork handlers
//
// Stands on core (and the hooking engine); knows the policy only through
// the verdict callback's type in core/contract.hpp.
#pragma once

#include <pthread.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <climits>
#include <cstdint>
#include <string_view>

#include "core/json_text.hpp"

#include "core/contract.hpp"
#include "core/timestamp.hpp"
#include "interceptor/hook_table.hpp"

// ---- events and verdicts -------------------------------------------------
// Set by start-up before interceptor_init, when the policy can tell; null:
// every event is judged.
extern judgement_needed_check registered_need_check;
// The one registered callback; written once by interceptor_init.
extern verdict_callback registered_callback;

// An event text is made in one pass: begin_event writes
// {"name":N,"timestamp":T,"args": into `text`, the producer writes its
// arguments object, and judge_event closes the text and hands it to the
// callback. `name` is one of the library's own, written as it stands. The
// verdict is 0 when there is no callback.
void begin_event(json_text &text, std::string_view name);
int judge_event(json_text &text);

// ---- configuration (the real-function slots are in hook_table.hpp) -------
struct propagated_env {
  char *name;
  char *value;  // null when the variable was unset at load time
  char *entry;  // "NAME=VALUE", made once at load time; null with the value
  size_t name_length;
};

struct interceptor_config_record {
  int32_t env_count;
  propagated_env *envs;
  int32_t fd_count;
  int32_t *fds;
  // The constant configuration keeps every text of `envs` in this one
  // block; null when each text is a block of its own.
  char *texts;
};

extern interceptor_config_record *interceptor_config;
extern pthread_rwlock_t *dns_db_lock;

int load_interceptor_config(const char *text);
// Frees the loaded configuration (a process keeps it for life; tests and
// the fuzz target load it again and again).
void unload_interceptor_config();

// ---- replacements ---------------------------------------------------------
// How deep this thread is in the library's own path work (getcwd, realpath
// and their kin). The opens the C library makes for that work go straight
// to the kernel: judging them would need the same work again (getcwd of a
// folder deeper than a page opens ".." from the current folder, whose
// judgement asks getcwd again, without end).
extern thread_local constinit int own_path_work_depth;
struct own_path_work {
  own_path_work() { ++own_path_work_depth; }
  ~own_path_work() { --own_path_work_depth; }
  own_path_work(const own_path_work &) = delete;
  own_path_work &operator=(const own_path_work &) = delete;
};

char *absolute_path(const char *path);
// The same path written into `buffer` when it fits there; otherwise (rarely)
// a malloc'd text. Null when no path can be made.
char *absolute_path_into(const char *path, char (&buffer)[PATH_MAX]);
// Joins `path` to `base` when relative and normalises "." / ".." / "//"
// textually. Returns a malloc'd text or null.
char *lexical_absolute_path(const char *base, const char *path);
// The same for an absolute `path`, into `out`; false for a relative path or
// one that does not fit.
bool lexical_absolute_path_into(const char *path, char (&out)[PATH_MAX]);
// The verdict on opening `path` ({"path"}: its absolute form); 0 whenever
// no event can be made. errno is left as the caller had it.
int judge_file_open(const char *path);
// The same for an open with `flags` (writing in the folder /tmp itself
// counts as under /tmp).
int judge_file_open_flags(const char *path, int flags);
// The verdict on an open with `flags` of `path`, already absolute and
// canonical; errno is left as the caller had it.
int judge_canonical_path(const char *path, int flags);
// The same for the file open as `fd`, whose kernel path `path` is.
int judge_opened_file(const char *path, int flags, int fd);

// ---- what an open reaches (open_resolution.cpp) ----------------------------
// The kernel's path of an open descriptor (through /proc/self/fd); false for
// objects without one, or without /proc.
bool descriptor_path(int fd, char (&out)[PATH_MAX]);
// judge_file_open_flags for a path relative to `dirfd` (AT_FDCWD: the
// current folder).
int judge_path_text(int dirfd, const char *path, int flags);
// The verdict on the file open as `fd`, by its kernel path; by the text of
// `path` (relative to `dirfd`) when the kernel has none.
int judge_descriptor(int fd, int dirfd, const char *path, int flags);

// An open that changes nothing, of an absolute path or one relative to the
// current folder, made first with no symbolic link followed: when no link lay on the kernel's way, the path's
// textual form is what it reached, and is judged with no further system
// call (a refused descriptor is closed). False, with nothing opened, when a
// link was on the way or openat2 cannot say: the other routes apply.
bool open_first_without_links(const char *path, int flags, mode_t mode, int &result);

// An open that changes nothing (of a path absolute or relative to the
// current folder), judged by the path's canonical form and then made on that
// very path without following any symbolic link. False when this route does
// not apply (no such canonical path, a /proc or /dev/fd path, no openat2);
// otherwise `result` is what the open returns.
bool open_through_canonical_path(const char *path, int flags, mode_t mode, int &result);
// Its parts: whether the route applies, with the canonical path; the open
// of a judged canonical path (the caller's `path` when openat2 cannot);
// and the verdict on `fd` when the kernel opened something other than
// `judged` (0 when it is the same).
bool canonical_route_applies(const char *path, int flags, char (&canonical)[PATH_MAX]);
int open_judged_canonical(const char *path, const char *canonical, int flags, mode_t mode);
int judge_if_elsewhere(int fd, const char *judged, int flags);

// Where a file is about to be created: its folder, held open, and its name.
struct creation_target {
  int folder_fd = -1;
  const char *last_name = nullptr;  // points into `name` when folder_fd is held
  char name[NAME_MAX + 1];
  char judged[PATH_MAX];  // the folder's path and the name, when folder_fd is held
  creation_target() = default;
  creation_target(const creation_target &) = delete;
  creation_target &operator=(const creation_target &) = delete;
  ~creation_target() { release(); }
  void release();
};
// Opens the folder of `path` (relative to `dirfd`), following a symbolic
// link in the last place as the kernel would with these flags, and returns
// the verdict on folder + name. When no folder can be held, folder_fd stays
// -1 and the answer is 0: judge the text instead.
// A path already judged (`already_judged`) is not judged again.
int resolve_creation_target(int dirfd, const char *path, int flags, creation_target &target,
                            const char *already_judged = nullptr);
// An open that may create or truncate: judged first, then made in the
// judged folder. Returns what the open returns, errno as the kernel set it
// or the verdict.
int open_judged_first(int dirfd, const char *path, int flags, mode_t mode, const char *already_judged = nullptr);
// The same, quicker, for a path absolute or relative to the current folder:
// judged by its canonical path (the folder's, and the name, for a file not
// there yet) and opened on it with no symbolic link followed; the folder
// route where a link is on the way. False when the route does not apply.
bool create_through_canonical_path(const char *path, int flags, mode_t mode, int &result);
// A Python tempfile scratch file in /tmp (gunicorn's worker heartbeat,
// tempfile's probe of the folder): true with `result` an anonymous memory
// file in its place; false when the open is not one of those.
bool python_temp_file_route(const char *path, int flags, mode_t mode, int &result);
// The open of a judged target's name in its folder; `link_appeared` when a
// symbolic link took the name's place since (the open then failed).
int open_in_judged_folder(const creation_target &target, int flags, mode_t mode, bool &link_appeared);

// The hooked_* replacements are declared in hook_table.hpp.

// Where a connection or datagram goes, as the outbound rule sees it.
struct destination {
  in6_addr address;            // an IPv4 address as ::ffff:a.b.c.d
  uint16_t port;               // host order
  char ip[INET6_ADDRSTRLEN];   // "a.b.c.d" for IPv4 (mapped too), else the IPv6 text
};
// False for other families and for addresses too short for their family
// (the kernel rejects those itself).
bool read_destination(const sockaddr *addr, socklen_t length, destination *to);
// The verdict on reaching `to` from code returning to `return_address`:
// 0 for the resolver's own traffic, else judge_connection with the host
// name the table holds for it.
int judge_destination(const destination &to, const void *return_address);
// The verdict on connecting to `ip` ({"ip", "hostname" when known}).
int judge_connection(const char *ip, const char *hostname);
// network_accept.cpp: a server's accepted connection, told to the policy
// (which only ends the start phase with it); never refused.
void note_accepted_connection();

// resolver_traffic.cpp. Both facts are made at their first need; these
// make them now (the name servers from `resolv_conf`).
void find_resolver_objects();
void read_name_servers(const char *resolv_conf);
// In a forked child: facts a vanished thread was making are made again.
void reset_resolver_facts_after_fork();
// True when the caller is the C library's getaddrinfo or libresolv, known by
// the objects' own DT_SONAME; the main program never is.
bool caller_is_resolver(const void *return_address);
// True for port 53 of a name server of /etc/resolv.conf.
bool is_name_server_query(const destination &to);

// ---- lookups (dns_wire.cpp) -------------------------------------------------
// One hooked resolver call on this thread (nested ones stack): the questions
// it let out and refused, so that its A and AAAA queries make one judgement,
// its failure can be told from a refusal, and its addresses go into the name
// table under the name that was answered.
struct resolution_scope {
  resolution_scope *outer;
  char judged[1024] = "";    // the last question judged, and its verdict
  int judged_verdict = 0;
  char answered[1024] = "";  // the last question let out
  bool refused = false;
  resolution_scope();
  ~resolution_scope();
  resolution_scope(const resolution_scope &) = delete;
  resolution_scope &operator=(const resolution_scope &) = delete;
};
// The verdict on asking a name server for `name` ({"hostname"}).
int judge_lookup(const char *name);
// A descriptor connected to port 53 of a listed name server: what is written
// on it is judged by its questions.
void mark_name_server_socket(int fd);
void forget_name_server_socket(int fd);
void copy_name_server_mark(int from, int to);
// The verdict on a DNS message sent to `server` on `fd` with an address.
int judge_query_to(const destination &server, int fd, const void *data, size_t length);
// For a write with no address on a marked descriptor: true when the message
// was judged and refused, with what the call returns in *result (its length
// when the socket itself answered "no such name", else -1 and the verdict in
// errno); false: send it as it is.
bool name_server_send(int fd, const void *data, size_t length, ssize_t *result);
bool name_server_send_pieces(int fd, const struct iovec *pieces, size_t count, ssize_t *result);
bool is_name_server_socket(int fd);
// sendmmsg on a marked descriptor: when a question is refused, the allowed
// messages go one by one and the refused ones are answered or end the batch.
int name_server_sendmmsg(int fd, struct mmsghdr *messages, unsigned int count, int flags);

int init_child_injection();
// descriptor_protection.cpp. Puts the function's log on ALERT_LOG_FD: the
// first process's own copy, reached through /proc; 0 on success, else the
// error that kept it out of reach. Allocates nothing.
int reach_function_log(long first_pid);
// Writes a non-negative `number` in decimal at `at`, NUL-terminated (at
// most 21 bytes); returns the end. No locale, no allocation.
char *write_decimal(char *at, long number);
// Notes which file the log on ALERT_LOG_FD is, once it is in place.
void remember_function_log();
// Before a program starts: the log noted is on ALERT_LOG_FD and inheritable
// (close-on-exec cleared; taken again from the first process when lost or
// replaced by a route without hooks). Allocates nothing; errno is kept.
void keep_function_log_for_start();
void process_execution();
// The verdict on this program's start ({"argv":[...], "path"}).
int judge_program_start(const char *path, int count, char *const *items);
// The environment handed to a new program, built without allocating: the
// caller's entries, each propagated variable that has a captured value in
// place of the first entry of its name (every other entry of that name is
// left out) or appended, in `envs` order. `out` has room for `capacity`
// pointers; the result is the number of pointers the environment needs,
// closing null included. When that exceeds `capacity` nothing was written.
// Entries of the loader variables named in `refused_loader_writes` are left
// out.
size_t build_exec_environment(char *const envp[], char **out, size_t capacity,
                              unsigned refused_loader_writes = 0);

// loader_variables.cpp. The loader variables of `envp` that would make the
// new program (`pid`, 0 when not known yet) write a file before the library
// is loaded into it, each judged as that open; the refused ones, as bits.
enum loader_write : unsigned { LOADER_DEBUG_OUTPUT = 1, LOADER_PROFILE = 2 };
unsigned judge_loader_writes(char *const envp[], long pid);
// True when `entry` sets a variable of a refused loader write.
bool loader_entry_refused(const char *entry, unsigned refused);

// system_call_routes.cpp. syscall() with the number of a watched open,
// connection, send, name or program start: judged as that call, its result
// in `result`. False for every other number.
bool route_watched_syscall(long call, const long a[6], long *result);
int hooked_execveat(int dirfd, const char *path, char *const argv[], char *const envp[], int flags);
int hooked_fexecve(int fd, char *const argv[], char *const envp[]);

// Calls into the dynamic loader from a replacement (dl_iterate_phdr,
// dladdr) are made inside a loader_scope. The fork handlers wait until none
// is under way: the C library does not reset every loader lock in a forked
// child, so a child forked while another thread was inside dl_iterate_phdr
// would hang at its own first call. Scopes do not nest.
struct loader_scope {
  bool held;
  loader_scope();
  ~loader_scope();
  loader_scope(const loader_scope &) = delete;
  loader_scope &operator=(const loader_scope &) = delete;
};

// Fork handlers: the name table's lock and the loader scopes are held
// across fork, so the child never starts with one of them taken by a thread
// it does not have.
void atfork_prepare();
void atfork_parent();
void atfork_child();
int interceptor_init(verdict_callback callback, const char *config_text);

// The constant configuration start-up hands to the interceptor.
extern const char INTERCEPTOR_CONFIG_TEXT[];
// What that text says, as tables: load_interceptor_config reads these when
// handed the text itself, instead of parsing it.
extern const char *const INTERCEPTOR_CONFIG_ENVS[];
extern const int INTERCEPTOR_CONFIG_ENV_COUNT;
extern const int32_t INTERCEPTOR_CONFIG_FDS[];
extern const int INTERCEPTOR_CONFIG_FD_COUNT;
