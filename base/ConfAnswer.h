#pragma once
// One finished answer of the configuration server: built by the configuration thread while it
// holds the channel-use lock, then sent by the connection's own thread after that lock is
// released, so a slow reader never holds the lock, the other clients or the shutdown. With it,
// the pieces every page of the server shares (the configuration pages and the recordings
// pages): the page answer, its protection headers and the maker's block under each page.
//
// Any thread; the helpers only build strings.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/CHTTPSocket.h"

// An answer that goes on for as long as the client watches (a push stream): the connection
// thread hands its socket over at once instead of sending bytes (the taker sends the head
// itself), and the taker owns it from then on. take() runs on the connection thread; a taker
// that never gets the socket is simply destroyed.
class ConfStreamTaker {
 public:
  virtual ~ConfStreamTaker() = default;
  virtual void take(CSocket& conn) = 0;
};

struct ConfAnswer {
  bool send = false;     // false: the connection is dropped without an answer
  std::string bytes;     // status line, headers, empty line and body
  bool linger = false;   // pause (per connection) before closing, after ending the stream
  std::unique_ptr<ConfStreamTaker> stream;  // takes the connection; bytes are its head
  // Run once by the connection thread before it sends bytes, to append what may take a moment
  // to come (a channel's next picture) without holding the configuration thread.
  std::function<void(std::string& bytes)> complete;
  // Set instead of bytes: the connection's thread gives its socket to this (a recordings job,
  // which answers on a thread of its own), or -1 when the connection was dropped meanwhile;
  // over HTTPS with the TLS session the job then sends through (else null).
  std::function<void(int handle, std::unique_ptr<SocketTransport> layer)> handOver;

  // Fills the answer: head exactly as CHTTPSocket::send_response_head writes it, then body.
  void set(int status, const std::string& reason, const std::map<std::string, std::string>& headers,
           const std::string& body = std::string()) {
    send = true;
    bytes = http::buildResponseHead(status, reason, headers) + body;
  }
};

// What a form submission brought besides its head: the body of a POST, read by the connection
// thread before the request was handed over.
struct FormBody {
  bool ok = false;   // a POST whose declared length was usable and whose body arrived
  std::string text;
};

// Status 200 (empty reason) with the page headers, then the page.
void htmlAnswer(const std::string& page, ConfAnswer& out);
// Headers of every page and of the log text: no type sniffing, no framing by other sites.
void addProtectionHeaders(std::map<std::string, std::string>& headers);
// The fixed block with the maker's address under every page.
std::string vendorBlock();
