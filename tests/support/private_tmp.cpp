#include "private_tmp.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

bool isolated = false;

std::string failed(const char *what) { return std::string(what) + ": " + strerror(errno); }

bool write_file(const char *path, const std::string &text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  const bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return written;
}

// Root gets new namespaces directly; anyone else gets them inside a user
// namespace that maps only the caller's own ids, so that the programs the
// tests start still run with the caller's uid and gid.
std::string unshare_namespaces() {
  const int flags = CLONE_NEWNS | CLONE_NEWNET;
  if (unshare(flags) == 0) return "";
  if (errno != EPERM) return failed("unshare");
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | flags) != 0) return failed("unshare with a user namespace");
  if (!write_file("/proc/self/setgroups", "deny") ||
      !write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
      !write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
    return failed("mapping the user namespace");
  return "";
}

std::string bring_loopback_up() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  strcpy(request.ifr_name, "lo");
  const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                  (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  std::string failure = up ? "" : failed("loopback up");
  if (fd >= 0) close(fd);
  return failure;
}

// The first component under /tmp of `path` ("x" of "/tmp/x/y"), or "".
std::string top_under_tmp(const std::string &path) {
  if (path.rfind("/tmp/", 0) != 0) return "";
  const std::string rest = path.substr(5);
  return rest.substr(0, rest.find('/'));
}

// Makes /tmp/<name> of the old /tmp (open as `old_tmp`) appear at the same
// path in the new one: a folder is bound, a symbolic link copied.
std::string carry_over(int old_tmp, const std::string &name) {
  struct stat info;
  if (fstatat(old_tmp, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return "";  // nothing to keep
  const std::string target = "/tmp/" + name;
  if (S_ISLNK(info.st_mode)) {
    char link[4096];
    const ssize_t length = readlinkat(old_tmp, name.c_str(), link, sizeof link - 1);
    if (length < 0) return failed("readlink in the old /tmp");
    link[length] = '\0';
    return symlink(link, target.c_str()) == 0 ? "" : failed("symlink into the new /tmp");
  }
  const std::string source = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + name;
  if (mkdir(target.c_str(), 0755) != 0) return failed("mkdir in the new /tmp");
  return mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0
             ? ""
             : failed("binding the checkout into the new /tmp");
}

// The folders the tests use (checkout, build, working folder), as given and
// resolved: those under /tmp must stay reachable.
std::set<std::string> folders_under_tmp() {
  std::set<std::string> names;
  char cwd[4096];
  for (const char *path : {TG_SOURCE_DIR, TG_PROBE_DIR, TG_LIBRARY_PATH, TG_COMPAT_DIR,
                           static_cast<const char *>(getcwd(cwd, sizeof cwd))}) {
    if (!path) continue;
    char *resolved = realpath(path, nullptr);
    for (const std::string &form : {std::string(path), std::string(resolved ? resolved : path)})
      if (std::string name = top_under_tmp(form); !name.empty()) names.insert(name);
    free(resolved);
  }
  return names;
}

std::string isolate() {
  std::string failure = unshare_namespaces();
  if (failure.empty() && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    failure = failed("private mounts");
  if (failure.empty()) failure = mount_fresh_tmp("mode=1777", false);
  if (failure.empty()) failure = bring_loopback_up();
  return failure;
}

}  // namespace

std::string mount_fresh_tmp(const std::string &options, bool read_only) {
  const std::set<std::string> kept = folders_under_tmp();
  char cwd[4096];
  const bool have_cwd = getcwd(cwd, sizeof cwd) != nullptr;
  // Opened in this namespace: a bind takes its source from there only.
  const int old_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (old_tmp < 0) return failed("open /tmp");
  std::string failure;
  if (mount("tmpfs", "/tmp", "tmpfs", 0, options.c_str()) != 0) failure = failed("tmpfs on /tmp");
  for (const std::string &name : kept)
    if (failure.empty()) failure = carry_over(old_tmp, name);
  close(old_tmp);
  // Through the new mounts from here on.
  if (failure.empty() && have_cwd && chdir(cwd) != 0) failure = failed("chdir back");
  // Only /tmp itself: the folders bound into it stay writable.
  if (failure.empty() && read_only && mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
    failure = failed("read-only /tmp");
  return failure;
}

bool enter_private_tmp() {
  // Tried in a child first: a failure halfway must not leave this process
  // in a namespace without /tmp or loopback.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    const std::string failure = isolate();
    ssize_t unused = write(report[1], failure.data(), failure.size());
    (void)unused;
    _exit(failure.empty() ? 0 : 1);
  }
  close(report[1]);
  std::string failure;
  char buffer[512];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) failure.append(buffer, static_cast<size_t>(n));
  close(report[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "tests: no private /tmp and loopback (%s): run the tests one at a time\n",
            failure.empty() ? "the trial failed" : failure.c_str());
    return false;
  }
  failure = isolate();
  if (!failure.empty()) {
    fprintf(stderr, "tests: entering the private /tmp failed after a good trial: %s\n", failure.c_str());
    abort();
  }
  isolated = true;
  return true;
}

std::string mount_private_folder(const char *path) {
  if (!isolated) return "this test program has no private mount namespace";
  return mount("tmpfs", path, "tmpfs", 0, "mode=755") == 0 ? "" : failed(path);
}
