#pragma once
// A TLS client for tests that send exact bytes (hostile requests) to an HTTPS port: connect
// from a given local address, handshake without checking the certificate, send, and read
// until the server closes or the time is up. Any thread.
#include <cstdint>
#include <string>

// The decrypted answer; "<no connection>" or "<no handshake>" when it did not get that far.
std::string tlsExchange(uint16_t port, const std::string& request, int timeoutMs,
                        const char* source = "127.0.0.1");
