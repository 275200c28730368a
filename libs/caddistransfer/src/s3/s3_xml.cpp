#include "s3_xml.hpp"

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "s3_digest.hpp"
#include "s3_names.hpp"

namespace caddistransfer::s3 {
namespace {

struct DocumentDeleter {
  void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using Document = std::unique_ptr<xmlDoc, DocumentDeleter>;

Document Parse(std::string_view body) {
  static std::once_flag initialized;
  std::call_once(initialized, [] { xmlInitParser(); });
  if (body.empty() || body.size() > (64u << 20)) return nullptr;
  return Document(xmlReadMemory(body.data(), static_cast<int>(body.size()), "answer.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

bool Named(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

const xmlNode* Child(const xmlNode* parent, const char* name) {
  for (const xmlNode* node = parent->children; node != nullptr; node = node->next) {
    if (Named(node, name)) return node;
  }
  return nullptr;
}

std::string Text(const xmlNode* node) {
  if (node == nullptr) return {};
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

std::string ChildText(const xmlNode* parent, const char* name) { return Text(Child(parent, name)); }

const xmlNode* RootNamed(const Document& document, const char* name) {
  if (!document) throw MalformedAnswer(std::string("the answer is not XML (expected ") + name + ")");
  const xmlNode* root = xmlDocGetRootElement(document.get());
  if (root == nullptr || !Named(root, name)) throw MalformedAnswer(std::string("the answer is not a ") + name);
  return root;
}

uint64_t Number(const xmlNode* parent, const char* name) {
  const std::string text = ChildText(parent, name);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
    throw MalformedAnswer(std::string("the answer has no number in ") + name);
  }
  return std::stoull(text);
}

TimePoint Time(const xmlNode* parent, const char* name) {
  const auto time = ParseIsoTime(ChildText(parent, name));
  if (!time) throw MalformedAnswer(std::string("the answer has no time in ") + name);
  return *time;
}

bool Truncated(const xmlNode* root) { return ChildText(root, "IsTruncated") == "true"; }

// Decodes a percent-encoded name when the server confirmed encoding-type=url.
std::string Name(const xmlNode* root, const xmlNode* parent, const char* name) {
  std::string text = ChildText(parent, name);
  if (ChildText(root, "EncodingType") != "url") return text;
  auto decoded = DecodePercent(text);
  if (!decoded) throw MalformedAnswer(std::string("the answer has a badly encoded ") + name);
  return *decoded;
}

}  // namespace

std::optional<ErrorDocument> ParseErrorDocument(std::string_view body) {
  const Document document = Parse(body);
  if (!document) return std::nullopt;
  const xmlNode* root = xmlDocGetRootElement(document.get());
  if (root == nullptr || !Named(root, "Error")) return std::nullopt;
  return ErrorDocument{ChildText(root, "Code"), ChildText(root, "Message")};
}

std::string ParseUploadId(std::string_view body) {
  const Document document = Parse(body);
  const std::string id = ChildText(RootNamed(document, "InitiateMultipartUploadResult"), "UploadId");
  if (id.empty()) throw MalformedAnswer("the answer has no UploadId");
  return id;
}

std::optional<ErrorDocument> ParseCompletionError(std::string_view body) {
  if (auto error = ParseErrorDocument(body)) return error;
  RootNamed(Parse(body), "CompleteMultipartUploadResult");
  return std::nullopt;
}

PartsPage ParsePartsPage(std::string_view body) {
  const Document document = Parse(body);
  const xmlNode* root = RootNamed(document, "ListPartsResult");
  PartsPage page;
  for (const xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (!Named(node, "Part")) continue;
    const uint64_t number = Number(node, "PartNumber");
    if (number < 1 || number > 10000) throw MalformedAnswer("the answer has a part number out of range");
    page.parts.push_back({static_cast<int>(number), Unquote(ChildText(node, "ETag")), Number(node, "Size"),
                          Time(node, "LastModified")});
  }
  page.truncated = Truncated(root);
  page.next_marker = ChildText(root, "NextPartNumberMarker");
  return page;
}

UploadsPage ParseUploadsPage(std::string_view body) {
  const Document document = Parse(body);
  const xmlNode* root = RootNamed(document, "ListMultipartUploadsResult");
  UploadsPage page;
  for (const xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (!Named(node, "Upload")) continue;
    page.uploads.push_back({Name(root, node, "Key"), ChildText(node, "UploadId"), Time(node, "Initiated")});
  }
  page.truncated = Truncated(root);
  page.next_key_marker = Name(root, root, "NextKeyMarker");
  page.next_upload_id_marker = ChildText(root, "NextUploadIdMarker");
  return page;
}

ObjectsPage ParseObjectsPage(std::string_view body) {
  const Document document = Parse(body);
  const xmlNode* root = RootNamed(document, "ListBucketResult");
  ObjectsPage page;
  for (const xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (!Named(node, "Contents")) continue;
    page.objects.push_back(
        {Name(root, node, "Key"), Number(node, "Size"), Unquote(ChildText(node, "ETag")), Time(node, "LastModified")});
  }
  if (Truncated(root)) {
    page.next_continuation_token = ChildText(root, "NextContinuationToken");
    if (page.next_continuation_token.empty()) throw MalformedAnswer("a truncated listing has no continuation token");
  }
  return page;
}

std::optional<TimePoint> ParseIsoTime(const std::string& text) {
  std::tm parts{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) != 6) {
    return std::nullopt;
  }
  std::size_t end = static_cast<std::size_t>(consumed);
  if (end < text.size() && text[end] == '.') end = text.find_first_not_of("0123456789", end + 1);
  if (end == std::string::npos || text.substr(end) != "Z") return std::nullopt;
  if (parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
      parts.tm_min > 59 || parts.tm_sec > 60) {
    return std::nullopt;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return std::chrono::system_clock::from_time_t(::timegm(&parts));
}

}  // namespace caddistransfer::s3
