// A TCP listener on loopback with a port of the system's choosing.
#pragma once

// The listening socket (close-on-exec) on `address` ("127.0.0.1" when
// null); its port goes to *port. -1 when it cannot be made.
int loopback_listener(int backlog, int *port, const char *address = nullptr);
