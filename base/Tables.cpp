#include "base/Tables.h"

const char* const kTelvGateVersion = "1.3.4.7";

const char* const g_cnlTypeNames[kCnlTypeCount] = {
    "Analog Falcon", "IP Axis",      "IP Lilin",   "IP Asip",     "IP Toshiba",
    "IP Sony",       "IP Panasonic", "IP Vivotec", "IP Hikvision", "IP GrandStream"};

const ImageSizeCode g_imageSizeCodes[kImageSizeCount] = {
    {"d-1pal", 1}, {"4cif", 2},  {"2cif", 3}, {"vga", 4},    {"vga2", 5},
    {"cif", 6},    {"qcif", 7},  {"qvga", 8}, {"mega", 9},   {"3mp", 10},
    {"wqvga", 11}, {"d-1ntsc", 12}, {"720p", 13}};

const ImageDims g_imageSizeDims[kImageSizeCount + 1] = {
    {0, 0},      {768, 576},  {704, 576}, {704, 288},  {640, 480},
    {640, 480},  {352, 288},  {176, 144}, {320, 240},  {1280, 960},
    {2048, 1536}, {480, 272}, {720, 480}, {1280, 768}};

const char* const g_rotorTypeNames[kRotorTypeCount] = {
    "Unknown", "None", "BoshAutoDome", "SiemensSpeedDome", "PelcoD", "PelcoP"};

const RotorTypeCode g_rotorTypeCodes[kRotorTypeCount] = {
    {"unknown", 0}, {"none", 1}, {"autodome", 2}, {"speeddome", 3}, {"pelcod", 4}, {"pelcop", 5}};

const VideoStdCode g_videoStdCodes[kVideoStdCount] = {{"PAL", 0}, {"NTSC", 1}, {"SECAM", 2}};

int imageSizeCode(const std::string& keyword) {
  for (const auto& e : g_imageSizeCodes)
    if (keyword == e.keyword) return e.code;
  return 0;
}

const char* imageSizeKeyword(int code) {
  for (const auto& e : g_imageSizeCodes)
    if (e.code == code) return e.keyword;
  return "";
}

ImageDims imageSizeDims(int code) {
  if (code < 0 || code > kImageSizeCount) return g_imageSizeDims[0];
  return g_imageSizeDims[code];
}

int rotorTypeCode(const std::string& keyword) {
  for (const auto& e : g_rotorTypeCodes)
    if (keyword == e.keyword) return e.code;
  return 0;
}

const char* rotorTypeName(int code) {
  return (code >= 0 && code < kRotorTypeCount) ? g_rotorTypeNames[code] : nullptr;
}

int videoStdCode(const std::string& keyword) {
  for (const auto& e : g_videoStdCodes)
    if (keyword == e.keyword) return e.code;
  return -1;
}

const char* videoStdKeyword(int code) {
  for (const auto& e : g_videoStdCodes)
    if (e.code == code) return e.keyword;
  return "";
}

const char* cnlTypeName(int code) {
  return (code >= 0 && code < kCnlTypeCount) ? g_cnlTypeNames[code] : nullptr;
}
