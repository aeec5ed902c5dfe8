#include "onvif/XmlWriter.h"

std::string XmlWriter::escape(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // Control characters other than tab, line feed and carriage return cannot stand in XML.
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
        out += static_cast<char>(c);
    }
  }
  return out;
}

void XmlWriter::endStartTag() {
  if (m_inStartTag) m_out += '>';
  m_inStartTag = false;
}

XmlWriter& XmlWriter::open(const char* name) {
  endStartTag();
  m_out += '<';
  m_out += name;
  m_open.push_back(name);
  m_inStartTag = true;
  return *this;
}

XmlWriter& XmlWriter::attr(const char* name, const std::string& value) {
  m_out += ' ';
  m_out += name;
  m_out += "=\"";
  m_out += escape(value);
  m_out += '"';
  return *this;
}

XmlWriter& XmlWriter::text(const std::string& value) {
  endStartTag();
  m_out += escape(value);
  return *this;
}

XmlWriter& XmlWriter::raw(const std::string& markup) {
  endStartTag();
  m_out += markup;
  return *this;
}

XmlWriter& XmlWriter::close() {
  if (m_open.empty()) return *this;
  if (m_inStartTag) {
    m_out += "/>";
    m_inStartTag = false;
  } else {
    m_out += "</";
    m_out += m_open.back();
    m_out += '>';
  }
  m_open.pop_back();
  return *this;
}

XmlWriter& XmlWriter::leaf(const char* name, const std::string& value) {
  return open(name).text(value).close();
}

const std::string& XmlWriter::finish() {
  while (!m_open.empty()) close();
  return m_out;
}
