#pragma once
// Client connections for the network tests, made with plain system calls so that the code
// under test is not used to set up its own test. Everything stays on the loopback network.
#include <cstdint>

// A blocking TCP connection to 127.0.0.1:port (close-on-exec, so a started child does not
// inherit it), or -1. rcvBuf > 0 sets the receive buffer before connecting, which also keeps
// the advertised window small: a reader that falls behind fills it soon.
int connectTo(uint16_t port, int rcvBuf = 0);
// The same from a chosen loopback source address ("127.0.0.2", ...), for a server that must
// tell its clients apart by address; -1 also when `source` cannot be bound.
int connectFrom(const char* source, uint16_t port, int rcvBuf = 0);
