// Each test program runs in a /tmp and a loopback of its own, so that test
// programs run side by side (ctest -j) neither see each other's state files
// nor compete for fixed ports, and leave nothing behind in /tmp.
#pragma once

#include <string>

// Moves the calling process, and everything it starts later, into a private
// mount and network namespace: an empty tmpfs on /tmp and a loopback
// interface that is up. A checkout or build folder under /tmp stays
// reachable at its path. Must run before any thread starts (the test main).
// Where namespaces are not allowed, says so on standard error in one line
// and leaves the process as it is: the tests are then correct run one at a
// time only. True when the process is isolated.
bool enter_private_tmp();

// In a private mount namespace already entered: a fresh tmpfs on /tmp,
// mounted with `options` ("size=8k", say) and made read-only with
// `read_only`, where the checkout and build folders stay reachable. "" when
// done, else what failed.
std::string mount_fresh_tmp(const std::string &options, bool read_only);

// An empty tmpfs over the existing folder `path`, seen by this test program
// only (a place that tests must own while they run, such as /opt); undone
// with umount. "" when done; else why not, and nothing changed.
std::string mount_private_folder(const char *path);
