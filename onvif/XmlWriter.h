#pragma once
// Builds the XML of the answers: elements opened and closed in order, attribute values and
// text escaped, so no value from a setting or a request can break the document. A value type;
// one thread at a time.
#include <string>
#include <vector>

class XmlWriter {
 public:
  // "<name"; attributes may follow until the next text or child.
  XmlWriter& open(const char* name);
  XmlWriter& attr(const char* name, const std::string& value);
  XmlWriter& text(const std::string& value);
  // Closes the innermost open element ("/>" when it got nothing).
  XmlWriter& close();
  // open(name), text(value), close().
  XmlWriter& leaf(const char* name, const std::string& value);
  // Markup given as is (a fragment built by another writer).
  XmlWriter& raw(const std::string& markup);
  // The document so far, every element closed.
  const std::string& finish();
  const std::string& str() const { return m_out; }

  static std::string escape(const std::string& value);

 private:
  void endStartTag();
  std::string m_out;
  std::vector<const char*> m_open;
  bool m_inStartTag = false;
};
