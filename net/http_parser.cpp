#include "net/http_parser.h"

#include <array>
#include <climits>
#include <cstring>
#include <string_view>

namespace {

constexpr unsigned char AsciiLower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// RFC 9112 section 2.2: empty lines before a request line are ignored.
constexpr bool IsLeadingSpace(char c) {
  return c == '\n' || c == '\r';
}

constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

constexpr bool IsFieldSpace(char c) {
  return c == ' ' || c == '\t';
}

// tchar of RFC 9110 section 5.6.2: the bytes a field name may hold.
constexpr std::array<bool, 256> kTokenChar = [] {
  std::array<bool, 256> t{};
  for (int c = '0'; c <= '9'; c++) t[c] = true;
  for (int c = 'a'; c <= 'z'; c++) t[c] = t[c - ('a' - 'A')] = true;
  for (char c : std::string_view("!#$%&'*+-.^_`|~")) t[static_cast<unsigned char>(c)] = true;
  return t;
}();

// A Content-Length value: 1*DIGIT (RFC 9110 section 8.6), at most a signed
// 64-bit count. Anything else ("0x", "+5", "5, 5", "") would let two readers
// of the same bytes disagree on where the body ends.
bool ReadContentLength(std::string_view value, uint64_t* out) {
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  if (value.empty()) return false;
  uint64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    const unsigned d = static_cast<unsigned>(c - '0');
    if (n > (kMax - d) / 10) return false;
    n = n * 10 + d;
  }
  *out = n;
  return true;
}

// "HTTP/" DIGIT "." DIGIT (RFC 9112 section 2.3), case-sensitive.
HttpRefusal CheckVersion(std::string_view v) {
  if (v.size() != 8 || v.substr(0, 5) != "HTTP/" || !IsDigit(v[5]) || v[6] != '.' ||
      !IsDigit(v[7])) {
    return HttpRefusal::kMalformed;
  }
  return v == "HTTP/1.1" || v == "HTTP/1.0" ? HttpRefusal::kNone : HttpRefusal::kBadVersion;
}

// Splits an absolute target "http://host[:port][/path][?query]" into its
// authority and the rest; false when the target has another form or no host,
// or names a user (which no browser sends and which would hide the host).
bool SplitAbsoluteTarget(ns_str* target, ns_str* authority) {
  static constexpr std::string_view kSchemes[] = {"http://", "https://"};
  for (std::string_view scheme : kSchemes) {
    if (target->len < scheme.size() ||
        ascii_ncompare_nocase(target->data, scheme.data(), scheme.size()) != 0) {
      continue;
    }
    const char* host = target->data + scheme.size();
    const char* end = target->data + target->len;
    const char* path = host;
    while (path < end && *path != '/' && *path != '?') path++;
    if (path == host || memchr(host, '@', static_cast<size_t>(path - host)) != nullptr) {
      return false;
    }
    *authority = ns_str{host, static_cast<uint64_t>(path - host)};
    *target = ns_str{path, static_cast<uint64_t>(end - path)};
    return true;
  }
  return false;
}

bool NameIs(const ns_str& name, std::string_view text) {
  return name.len == text.size() && ascii_ncompare_nocase(name.data, text.data(), text.size()) == 0;
}

// Splits the field line [pos, eol) (line end removed) into *name and *value.
HttpRefusal ReadFieldLine(const char* pos, const char* eol, ns_str* name, ns_str* value) {
  // A line that begins with white space continues the previous one (obsolete
  // folding) or hides a field from readers that skip it: refused.
  if (IsFieldSpace(*pos)) return HttpRefusal::kMalformed;
  const char* colon = static_cast<const char*>(memchr(pos, ':', static_cast<size_t>(eol - pos)));
  if (colon == nullptr || colon == pos) return HttpRefusal::kMalformed;
  for (const char* c = pos; c < colon; c++) {
    if (!kTokenChar[static_cast<unsigned char>(*c)]) return HttpRefusal::kMalformed;
  }
  const char* v = colon + 1;
  while (v < eol && (IsFieldSpace(*v) || *v == ':')) v++;
  const char* v_end = eol;
  while (v_end > v && IsFieldSpace(v_end[-1])) v_end--;
  *name = ns_str{pos, static_cast<uint64_t>(colon - pos)};
  *value = ns_str{v, static_cast<uint64_t>(v_end - v)};
  return HttpRefusal::kNone;
}

// Fills the header slots from pos (the line after the request line) to the
// end of the block, and sets the body length from the framing fields.
HttpRefusal ParseHeaders(const char* pos, const char* end, int block_len, http_message* hm) {
  bool have_length = false;
  uint64_t length = 0;
  int transfer_encodings = 0;
  bool chunked = false;
  int count = 0;
  int hosts = 0;
  while (pos < end) {
    const char* lf = static_cast<const char*>(memchr(pos, '\n', static_cast<size_t>(end - pos)));
    if (lf == nullptr) lf = end;  // cannot happen: the block ends with a line end
    const char* eol = (lf > pos && lf[-1] == '\r') ? lf - 1 : lf;
    if (eol == pos) break;  // the empty line that ends the block
    if (count == HTTP_MAX_HEADERS) return HttpRefusal::kTooManyHeaders;
    ns_str* name = &hm->header_names[count];
    ns_str* value = &hm->header_values[count];
    if (HttpRefusal r = ReadFieldLine(pos, eol, name, value); r != HttpRefusal::kNone) return r;
    count++;
    pos = lf + 1;

    if (NameIs(*name, "Content-Length")) {
      uint64_t n = 0;
      if (!ReadContentLength(std::string_view(value->data, value->len), &n)) {
        return HttpRefusal::kBadFraming;
      }
      if (have_length && n != length) return HttpRefusal::kBadFraming;
      have_length = true;
      length = n;
    } else if (NameIs(*name, "Host")) {
      if (++hosts > 1) return HttpRefusal::kMalformed;  // which one is meant cannot be told
    } else if (NameIs(*name, "Transfer-Encoding")) {
      transfer_encodings++;
      chunked = ns_str_compare_nocase(value, "chunked") == 0;
    }
  }
  // The only coding this service decodes is chunked, alone; a request that
  // names both framings is one a proxy in front may have read the other way.
  if (transfer_encodings > 1 || (transfer_encodings == 1 && (!chunked || have_length))) {
    return HttpRefusal::kBadFraming;
  }
  if (chunked) {
    hm->body.len = HTTP_LEN_TO_CLOSE;
    hm->whole_message.len = HTTP_LEN_TO_CLOSE;
  } else {
    hm->body.len = length;  // 0 without Content-Length
    hm->whole_message.len = static_cast<uint64_t>(block_len) + length;
  }
  return HttpRefusal::kNone;
}

// method SP request-target SP HTTP-version, nothing more (RFC 9112 section
// 3); fills method, uri, query, authority and protocol.
HttpRefusal ParseRequestLine(std::string_view line, http_message* hm) {
  const size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0) return HttpRefusal::kMalformed;
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return HttpRefusal::kMalformed;
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  for (char c : method) {
    if (!kTokenChar[static_cast<unsigned char>(c)]) return HttpRefusal::kMalformed;
  }
  // Control bytes other than HTAB are refused before; HTAB is no separator.
  if (target.find('\t') != std::string_view::npos) return HttpRefusal::kMalformed;
  if (const HttpRefusal v = CheckVersion(version); v != HttpRefusal::kNone) return v;

  hm->method = ns_str{method.data(), method.size()};
  hm->protocol = ns_str{version.data(), version.size()};
  ns_str uri{target.data(), target.size()};
  if (target == "*") {
    if (method != "OPTIONS") return HttpRefusal::kMalformed;
  } else if (target[0] != '/' && !SplitAbsoluteTarget(&uri, &hm->authority)) {
    return HttpRefusal::kMalformed;
  }
  if (const void* q = memchr(uri.data, '?', uri.len)) {
    const char* qp = static_cast<const char*>(q);
    hm->query.data = qp + 1;
    hm->query.len = static_cast<uint64_t>((uri.data + uri.len) - (qp + 1));
    uri.len = static_cast<uint64_t>(qp - uri.data);
  }
  // An absolute target without a path asks for "/" (RFC 9110 section
  // 4.2.3): the last slash of its "://", so that every slice stays inside
  // the header block.
  if (uri.len == 0 && hm->authority.data != nullptr) uri = ns_str{hm->authority.data - 1, 1};
  hm->uri = uri;
  return HttpRefusal::kNone;
}

}  // namespace

int http_header_block_length(const char* buf, int len) {
  for (int i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(buf[i]);
    if (c < 0x80 && (c < 0x20 || c > 0x7E) && c != '\t' && c != '\r' && c != '\n') return -1;
    // A bare CR ends a line for some readers and not for others (RFC 9112
    // section 2.2).
    if (c == '\r' && i + 1 < len && buf[i + 1] != '\n') return -1;
    if (c != '\n') continue;
    if (i + 1 < len && buf[i + 1] == '\n') return i + 2;
    if (i + 2 < len && buf[i + 1] == '\r' && buf[i + 2] == '\n') return i + 3;
  }
  return 0;
}

int http_parse_request(const char* buf, int len, http_message* hm, HttpRefusal* why) {
  HttpRefusal unused;
  if (why == nullptr) why = &unused;
  *why = HttpRefusal::kNone;
  const int n = http_header_block_length(buf, len);
  if (n < 0) *why = HttpRefusal::kMalformed;
  if (n <= 0) return n;

  http_message parsed;
  memset(&parsed, 0, sizeof(parsed));
  const char* end = buf + n;
  parsed.whole_message.data = buf;
  parsed.body.data = end;

  const char* pos = buf;
  while (pos < end && IsLeadingSpace(*pos)) pos++;
  const char* lf = static_cast<const char*>(memchr(pos, '\n', static_cast<size_t>(end - pos)));
  const char* line_end = lf != nullptr ? lf : end;
  const char* eol = (line_end > pos && line_end[-1] == '\r') ? line_end - 1 : line_end;
  *why = ParseRequestLine(std::string_view(pos, static_cast<size_t>(eol - pos)), &parsed);
  if (*why != HttpRefusal::kNone) return -1;

  *why = ParseHeaders(line_end < end ? line_end + 1 : end, end, n, &parsed);
  if (*why != HttpRefusal::kNone) return -1;
  *hm = parsed;
  return n;
}

int http_parse_message(const char* buf, int len, http_message* hm) {
  return http_parse_request(buf, len, hm, nullptr);
}

const ns_str* http_find_header(const http_message* hm, const char* name) {
  const size_t k = strlen(name);
  for (int i = 0; i < HTTP_MAX_HEADERS; i++) {
    const ns_str& h = hm->header_names[i];
    if (h.data == nullptr) break;  // slots fill without gaps
    if (h.len == k && ascii_ncompare_nocase(h.data, name, k) == 0) return &hm->header_values[i];
  }
  return nullptr;
}

ns_str* http_find_header(http_message* hm, const char* name) {
  return const_cast<ns_str*>(http_find_header(static_cast<const http_message*>(hm), name));
}

bool http_list_has_token(const ns_str* value, const char* token) {
  if (value == nullptr || value->data == nullptr) return false;
  const char* pos = value->data;
  const char* end = value->data + value->len;
  while (pos < end) {
    ns_str element;
    pos = http_take_token(pos, end, ",", &element);
    while (element.len > 0 && IsFieldSpace(element.data[0])) {
      element.data++;
      element.len--;
    }
    while (element.len > 0 && IsFieldSpace(element.data[element.len - 1])) element.len--;
    if (ns_str_compare_nocase(&element, token) == 0) return true;
  }
  return false;
}

int ns_str_compare(const ns_str* s, const char* text) {
  const size_t k = strlen(text);
  const size_t common = s->len < k ? static_cast<size_t>(s->len) : k;
  if (common > 0) {
    int d = memcmp(s->data, text, common);
    if (d != 0) return d;
  }
  if (s->len == k) return 0;
  return s->len < k ? -1 : 1;
}

int ns_str_compare_nocase(const ns_str* s, const char* text) {
  const size_t k = strlen(text);
  const size_t common = s->len < k ? static_cast<size_t>(s->len) : k;
  if (common > 0) {
    int d = ascii_ncompare_nocase(s->data, text, common);
    if (d != 0) return d;
  }
  if (s->len == k) return 0;
  return s->len < k ? -1 : 1;
}

int ascii_ncompare_nocase(const char* a, const char* b, size_t n) {
  int d = 0;
  for (size_t i = 0; i < n; i++) {
    const unsigned char ca = static_cast<unsigned char>(a[i]);
    d = AsciiLower(ca) - AsciiLower(static_cast<unsigned char>(b[i]));
    if (d != 0 || ca == 0) break;
  }
  return d;
}

const char* http_take_token(const char* pos, const char* end, const char* delimiters, ns_str* out) {
  const size_t ndelims = strlen(delimiters);
  auto is_delim = [&](char c) { return memchr(delimiters, c, ndelims) != nullptr; };
  out->data = pos;
  while (pos < end && !is_delim(*pos)) pos++;
  out->len = static_cast<uint64_t>(pos - out->data);
  while (pos < end && is_delim(*pos)) pos++;
  return pos;
}
