#include "recording/EventInfo.h"

#include "platform/ByteOrder.h"

namespace eventinfo {

std::string infoText(const Info& info) {
  std::string t = "#:T7IMG\r\nSECTION EVENT\r\nSYA=0\r\nSYP=0\r\nCNT=";
  t += std::to_string(info.sequenceFiles);
  t += "\r\nREC=CONT\r\nENDSECTION EVENT\r\nSECTION SEQUENCE\r\nFFR=";
  t += std::to_string(info.firstFrame);
  t += "\r\nLFR=";
  t += std::to_string(info.lastFrame);
  t += "\r\nFTI=";
  t += std::to_string(info.firstSeconds);
  t += "\r\nLTI=";
  t += std::to_string(info.lastSeconds);
  t += "\r\nENDSECTION SEQUENCE\r\n";
  return t;
}

std::vector<uint8_t> infoFile(const Info& info) {
  std::string text = infoText(info);  // at most a few hundred bytes: the length always fits
  std::vector<uint8_t> out(4 + 2 + text.size() + 2);
  out[0] = 0xFF;
  out[1] = 0xD8;
  out[2] = 0xFF;
  out[3] = 0xFE;
  putBE16(&out[4], uint16_t(text.size() + 2));
  std::copy(text.begin(), text.end(), out.begin() + 6);
  out[out.size() - 2] = 0xFF;
  out[out.size() - 1] = 0xD9;
  return out;
}

}  // namespace eventinfo
