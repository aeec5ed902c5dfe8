#pragma once
// An IPv4 address record: dotted text and port, with its "ip:port" text form. A value type.
#include <cstdint>
#include <string>

struct CNetAddr {
  std::string ip;
  uint16_t port = 0;

  CNetAddr() = default;
  CNetAddr(std::string ipText, uint16_t portNumber) : ip(std::move(ipText)), port(portNumber) {}

  std::string to_string() const { return ip + ":" + std::to_string(port); }
  bool operator==(const CNetAddr& o) const { return ip == o.ip && port == o.port; }
};
