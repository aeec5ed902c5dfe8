#pragma once
// Received SOAP and discovery messages, parsed by libxml2, and the few ways the services look
// into them. The parse is bounded and closed to the outside: at most kMaxMessageBytes, no
// network access, and a document type declaration (where entities are declared) stops the
// parse at once, so no entity is ever expanded.
//
// Threads: any thread may parse its own document; initXmlParser() must have run once first.
#include <libxml/tree.h>

#include <cstddef>
#include <string>

namespace onvifxml {

constexpr size_t kMaxMessageBytes = 65536;

// Sets libxml2 up for use by several threads; call once before any thread parses.
void initXmlParser();

class XmlDoc {
 public:
  XmlDoc() = default;
  ~XmlDoc();
  XmlDoc(const XmlDoc&) = delete;
  XmlDoc& operator=(const XmlDoc&) = delete;

  // False, with *error for the log or a fault, for more than kMaxMessageBytes, anything that
  // is not one well-formed document, and any document type declaration.
  bool parse(const char* data, size_t len, std::string* error);
  xmlNode* root() const { return m_doc ? xmlDocGetRootElement(m_doc) : nullptr; }

 private:
  xmlDoc* m_doc = nullptr;
};

// Whether n is the element local in namespace ns (ns null: in any namespace).
bool is(const xmlNode* n, const char* ns, const char* local);
// The first element child of parent that is local in ns (local null: any element).
xmlNode* child(const xmlNode* parent, const char* ns = nullptr, const char* local = nullptr);
// The next element after n at its level that is local in ns (local null: any element).
xmlNode* next(const xmlNode* n, const char* ns = nullptr, const char* local = nullptr);
// The element's text, blanks at both ends removed; "" for null.
std::string text(const xmlNode* n);
// The attribute's value (without namespace); "" when missing.
std::string attribute(const xmlNode* n, const char* name);
// The namespace and local name of a qualified name ("dn:NetworkVideoTransmitter") as the
// declarations in scope at n give it; an unknown prefix leaves *ns empty.
void resolveQName(const xmlNode* n, const std::string& qname, std::string* ns, std::string* local);

}  // namespace onvifxml
