#pragma once
// The certificate side of the configuration server's HTTPS: one loaded server context
// (certificate chain and key from PEM files, TLS 1.2 and 1.3 only, the library's default
// ciphers) and the self-signed certificate made for an installation that names no files.
//
// A TlsContext never changes once loaded; a reload makes a new one. Sessions hold their own
// reference to the library's context, so the old object may go while they still run. Any
// thread may use a loaded context; load() and makeSelfSigned() may run on any thread.
#include <memory>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

class TlsContext {
 public:
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // Loads the certificate chain and its key; nullptr with *error (naming the file and the
  // library's reason) when either cannot be read or they do not belong together.
  static std::shared_ptr<const TlsContext> load(const std::string& certPath, const std::string& keyPath,
                                                std::string* error);

  SSL_CTX* ctx() const { return m_ctx; }
  // SHA-256 of the certificate's DER form as upper-case hex pairs joined by ':'.
  const std::string& fingerprint() const { return m_fingerprint; }
  const std::string& certPath() const { return m_certPath; }

 private:
  TlsContext() = default;
  SSL_CTX* m_ctx = nullptr;
  std::string m_fingerprint;
  std::string m_certPath;
};

// Writes a new P-256 key (mode 0600) and a self-signed certificate (10 years, SHA-256) for
// the given DNS names and IPv4 addresses, each replacing its file atomically. False with
// *error when a key, the certificate or a file cannot be made.
bool makeSelfSigned(const std::string& certPath, const std::string& keyPath,
                    const std::vector<std::string>& dnsNames, const std::vector<std::string>& ips,
                    std::string* error);
