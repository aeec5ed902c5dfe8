#include "tests/support/TlsClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

std::string tlsExchange(uint16_t port, const std::string& request, int timeoutMs, const char* source) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in s{}, a{};
  s.sin_family = a.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &s.sin_addr);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  timeval slice{0, 100000};  // every wait of the library ends within 100 ms
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return "<no connection>";
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  std::string out = "<no handshake>";
  int r = 0;
  while ((r = SSL_connect(ssl)) != 1 && SSL_get_error(ssl, r) == SSL_ERROR_WANT_READ &&
         std::chrono::steady_clock::now() < end) {
  }
  if (r == 1) {
    out.clear();
    for (size_t done = 0; done < request.size();) {
      const int n = SSL_write(ssl, request.data() + done, int(request.size() - done));
      if (n <= 0 && (SSL_get_error(ssl, n) != SSL_ERROR_WANT_WRITE || std::chrono::steady_clock::now() >= end)) break;
      if (n > 0) done += size_t(n);
    }
    char buf[8192];
    while (std::chrono::steady_clock::now() < end) {
      const int n = SSL_read(ssl, buf, sizeof buf);
      if (n > 0) out.append(buf, size_t(n));
      else if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ) break;
    }
  }
  ERR_clear_error();
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ::close(fd);
  return out;
}
