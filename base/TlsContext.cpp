#include "base/TlsContext.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cstdio>

#include "platform/Files.h"

namespace {

constexpr long kValidDays = 3650;

// The library's reason for the last failure (its queue is emptied, so nothing stale is left
// for the next caller on this thread).
std::string sslReason() {
  unsigned long last = 0;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) last = e;
  if (last == 0) return "unknown reason";
  char buf[256];
  ERR_error_string_n(last, buf, sizeof buf);
  return buf;
}

bool fail(std::string* error, const std::string& what) {
  if (error) *error = what + " (" + sslReason() + ")";
  return false;
}

// Owners for the library's objects.
struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct BioFree { void operator()(BIO* p) const { BIO_free(p); } };
struct BnFree { void operator()(BIGNUM* p) const { BN_free(p); } };

bool addExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str());
  if (!ext) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A DNS name the certificate can carry: letters, digits, '-' and '.' only.
bool plainDnsName(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) return false;
  return true;
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, size_t(n)) : std::string();
}

}  // namespace

TlsContext::~TlsContext() { SSL_CTX_free(m_ctx); }

std::shared_ptr<const TlsContext> TlsContext::load(const std::string& certPath,
                                                   const std::string& keyPath, std::string* error) {
  ERR_clear_error();
  const auto refuse = [error](const std::string& what) {
    fail(error, what);
    return std::shared_ptr<const TlsContext>();
  };
  std::shared_ptr<TlsContext> t(new TlsContext());
  t->m_certPath = certPath;
  t->m_ctx = SSL_CTX_new(TLS_server_method());
  if (!t->m_ctx) return refuse("no TLS context");
  SSL_CTX* c = t->m_ctx;
  SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION);
  // A client that closes without the closing alert reads as an ordinary end of the stream.
  SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                             SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Sends resume where a short write stopped, from a buffer that may have moved (a page
  // answer is sent piece by piece on a non-blocking socket).
  SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                          SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate_chain_file(c, certPath.c_str()) != 1)
    return refuse("cannot use the certificate file " + certPath);
  if (SSL_CTX_use_PrivateKey_file(c, keyPath.c_str(), SSL_FILETYPE_PEM) != 1)
    return refuse("cannot use the key file " + keyPath);
  if (SSL_CTX_check_private_key(c) != 1)
    return refuse("the key " + keyPath + " does not belong to " + certPath);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  X509* cert = SSL_CTX_get0_certificate(c);
  if (!cert || X509_digest(cert, EVP_sha256(), md, &n) != 1)
    return refuse("no fingerprint for " + certPath);
  for (unsigned int i = 0; i < n; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i + 1 < n ? "%02X:" : "%02X", md[i]);
    t->m_fingerprint += hex;
  }
  return t;
}

bool makeSelfSigned(const std::string& certPath, const std::string& keyPath,
                    const std::vector<std::string>& dnsNames, const std::vector<std::string>& ips,
                    std::string* error) {
  ERR_clear_error();
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
  if (!key) return fail(error, "no key");
  std::unique_ptr<X509, X509Free> cert(X509_new());
  std::unique_ptr<BIGNUM, BnFree> serial(BN_new());
  if (!cert || !serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
    return fail(error, "no certificate");

  std::string san;
  std::string commonName = "TelvGate";
  for (const std::string& d : dnsNames) {
    if (!plainDnsName(d)) continue;
    if (san.empty()) commonName = d;
    san += (san.empty() ? "DNS:" : ",DNS:") + d;
  }
  for (const std::string& ip : ips) san += (san.empty() ? "IP:" : ",IP:") + ip;

  X509* x = cert.get();
  X509_NAME* name = X509_get_subject_name(x);
  const auto text = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.c_str()); };
  const bool built =
      X509_set_version(x, 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(x), -86400) &&
      X509_gmtime_adj(X509_getm_notAfter(x), kValidDays * 86400) && X509_set_pubkey(x, key.get()) == 1 &&
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, text("TELVORA TelvGate"), -1, -1, 0) == 1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, text(commonName), -1, -1, 0) == 1 &&
      X509_set_issuer_name(x, name) == 1 &&
      addExtension(x, NID_basic_constraints, "critical,CA:FALSE") &&
      // keyCertSign lets the library see the certificate as its own issuer, which clients
      // that were given it as their trust anchor (curl --cacert) check.
      addExtension(x, NID_key_usage, "critical,digitalSignature,keyCertSign") &&
      addExtension(x, NID_ext_key_usage, "serverAuth") &&
      addExtension(x, NID_subject_key_identifier, "hash") &&
      (san.empty() || addExtension(x, NID_subject_alt_name, san)) &&
      X509_sign(x, key.get(), EVP_sha256()) > 0;
  if (!built) return fail(error, "cannot build the certificate");

  std::unique_ptr<BIO, BioFree> keyPem(BIO_new(BIO_s_mem())), certPem(BIO_new(BIO_s_mem()));
  if (!keyPem || !certPem ||
      PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_X509(certPem.get(), x) != 1)
    return fail(error, "cannot encode the certificate");
  // The key first: a certificate without its key is never left behind on its own.
  if (!platform::replaceFileContent(keyPath, bioText(keyPem.get()), 0600)) {
    if (error) *error = "cannot write " + keyPath;
    return false;
  }
  if (!platform::replaceFileContent(certPath, bioText(certPem.get()), 0644)) {
    if (error) *error = "cannot write " + certPath;
    return false;
  }
  return true;
}
