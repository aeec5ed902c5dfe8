#include "onvif/XmlDoc.h"

#include <libxml/parser.h>

#include <cstring>
#include <mutex>

namespace onvifxml {

namespace {

// Called when the parser meets "<!DOCTYPE": before any declaration inside it is read.
void refuseDocumentType(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto* parser = static_cast<xmlParserCtxtPtr>(ctx);
  *static_cast<bool*>(parser->_private) = true;
  xmlStopParser(parser);
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool sameNs(const xmlNode* n, const char* ns) {
  if (!ns) return true;
  return n->ns && n->ns->href && std::strcmp(reinterpret_cast<const char*>(n->ns->href), ns) == 0;
}

}  // namespace

void initXmlParser() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

XmlDoc::~XmlDoc() {
  if (m_doc) xmlFreeDoc(m_doc);
}

bool XmlDoc::parse(const char* data, size_t len, std::string* error) {
  if (m_doc) xmlFreeDoc(m_doc);
  m_doc = nullptr;
  if (len > kMaxMessageBytes) {
    *error = "message of " + std::to_string(len) + " bytes (at most " + std::to_string(kMaxMessageBytes) + ")";
    return false;
  }
  xmlParserCtxtPtr parser = xmlNewParserCtxt();
  if (!parser) {
    *error = "out of memory";
    return false;
  }
  bool documentType = false;
  parser->_private = &documentType;
  parser->sax->internalSubset = refuseDocumentType;
  // No XML_PARSE_NOENT (entities stay unexpanded), no DTD loading, no network, no messages on
  // standard error; the default depth limit stays (no XML_PARSE_HUGE).
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  m_doc = xmlCtxtReadMemory(parser, data, static_cast<int>(len), nullptr, nullptr, options);
  const bool ok = m_doc && parser->wellFormed && !documentType;
  if (!ok) {
    if (documentType) {
      *error = "document type declarations are not accepted";
    } else {
      const xmlError* e = xmlCtxtGetLastError(parser);
      std::string msg = e && e->message ? e->message : "not well-formed";
      while (!msg.empty() && isBlank(msg.back())) msg.pop_back();
      *error = "XML error: " + msg + (e ? " (line " + std::to_string(e->line) + ")" : "");
    }
    if (m_doc) xmlFreeDoc(m_doc);
    m_doc = nullptr;
  }
  xmlFreeParserCtxt(parser);
  return ok;
}

bool is(const xmlNode* n, const char* ns, const char* local) {
  return n && n->type == XML_ELEMENT_NODE && sameNs(n, ns) &&
         std::strcmp(reinterpret_cast<const char*>(n->name), local) == 0;
}

static xmlNode* findFrom(xmlNode* n, const char* ns, const char* local) {
  for (; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (!local || is(n, ns, local)) return n;
  }
  return nullptr;
}

xmlNode* child(const xmlNode* parent, const char* ns, const char* local) {
  return parent ? findFrom(parent->children, ns, local) : nullptr;
}

xmlNode* next(const xmlNode* n, const char* ns, const char* local) {
  return n ? findFrom(n->next, ns, local) : nullptr;
}

std::string text(const xmlNode* n) {
  if (!n) return "";
  xmlChar* t = xmlNodeGetContent(n);
  std::string s = t ? reinterpret_cast<const char*>(t) : "";
  xmlFree(t);
  size_t b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string attribute(const xmlNode* n, const char* name) {
  if (!n) return "";
  xmlChar* v = xmlGetNoNsProp(n, reinterpret_cast<const xmlChar*>(name));
  std::string s = v ? reinterpret_cast<const char*>(v) : "";
  xmlFree(v);
  return s;
}

void resolveQName(const xmlNode* n, const std::string& qname, std::string* ns, std::string* local) {
  const size_t colon = qname.find(':');
  const std::string prefix = colon == std::string::npos ? "" : qname.substr(0, colon);
  *local = colon == std::string::npos ? qname : qname.substr(colon + 1);
  ns->clear();
  if (!n) return;
  const xmlNs* found = xmlSearchNs(n->doc, const_cast<xmlNode*>(n),
                                   prefix.empty() ? nullptr : reinterpret_cast<const xmlChar*>(prefix.c_str()));
  if (found && found->href) *ns = reinterpret_cast<const char*>(found->href);
}

}  // namespace onvifxml
