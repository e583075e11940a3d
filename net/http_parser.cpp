#include "net/http_parser.h"

#include <cstring>

namespace {

constexpr unsigned char AsciiLower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

constexpr bool IsLeadingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr char kContentLength[] = "Content-Length";
constexpr size_t kContentLengthChars = sizeof(kContentLength) - 1;

// Reads a Content-Length value the way the C library's decimal conversion
// would (leading white space, optional sign, digits up to the first other
// byte), but refuses what that conversion would silently turn into a wrong
// length: no digits, a negative value, or more than a signed 64-bit count.
bool ReadContentLength(const ns_str& value, uint64_t* out) {
  const char* p = value.data;
  const char* end = value.data + value.len;
  while (p < end && IsLeadingSpace(*p)) p++;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = (*p++ == '-');
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  uint64_t n = 0;
  const char* digits = p;
  for (; p < end && *p >= '0' && *p <= '9'; p++) {
    unsigned d = static_cast<unsigned>(*p - '0');
    if (n > (kMax - d) / 10) return false;
    n = n * 10 + d;
  }
  if (p == digits) return false;
  if (negative && n != 0) return false;
  *out = n;
  return true;
}

// Fills the header slots; false when a Content-Length is unusable.
bool ParseHeaders(const char* pos, const char* end, int block_len, http_message* hm) {
  for (int i = 0; i < HTTP_MAX_HEADERS; i++) {
    ns_str* name = &hm->header_names[i];
    ns_str* value = &hm->header_values[i];
    pos = http_take_token(pos, end, ": ", name);
    pos = http_take_token(pos, end, "\r\n", value);
    while (value->len > 0 && value->data[value->len - 1] == ' ') value->len--;

    if (name->len == 0 || value->len == 0) {
      *name = ns_str{};
      *value = ns_str{};
      return true;
    }
    if (name->len >= kContentLengthChars &&
        ascii_ncompare_nocase(name->data, kContentLength, kContentLengthChars) == 0) {
      uint64_t body_len = 0;
      if (!ReadContentLength(*value, &body_len)) return false;
      hm->body.len = body_len;
      hm->whole_message.len = static_cast<uint64_t>(block_len) + body_len;
    }
  }
  return true;
}

}  // namespace

int http_header_block_length(const char* buf, int len) {
  for (int i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(buf[i]);
    if (c < 0x80 && (c < 0x20 || c > 0x7E) && c != '\r' && c != '\n') return -1;
    if (c != '\n') continue;
    if (i + 1 < len && buf[i + 1] == '\n') return i + 2;
    if (i + 2 < len && buf[i + 1] == '\r' && buf[i + 2] == '\n') return i + 3;
  }
  return 0;
}

int http_parse_message(const char* buf, int len, http_message* hm) {
  const int n = http_header_block_length(buf, len);
  if (n <= 0) return n;

  memset(hm, 0, sizeof(*hm));
  const char* end = buf + n;
  hm->whole_message.data = buf;
  hm->whole_message.len = HTTP_LEN_TO_CLOSE;
  hm->body.data = end;
  hm->body.len = HTTP_LEN_TO_CLOSE;

  const char* pos = buf;
  while (pos < end && IsLeadingSpace(*pos)) pos++;

  pos = http_take_token(pos, end, " ", &hm->method);
  pos = http_take_token(pos, end, " ", &hm->uri);
  pos = http_take_token(pos, end, "\r\n", &hm->protocol);
  if (!(hm->method.data < hm->uri.data && hm->uri.data < hm->protocol.data)) return -1;

  if (const void* q = memchr(hm->uri.data, '?', hm->uri.len)) {
    const char* qp = static_cast<const char*>(q);
    hm->query.data = qp + 1;
    hm->query.len = static_cast<uint64_t>((hm->uri.data + hm->uri.len) - (qp + 1));
    hm->uri.len = static_cast<uint64_t>(qp - hm->uri.data);
  }

  if (!ParseHeaders(pos, end, n, hm)) return -1;

  if (hm->body.len == HTTP_LEN_TO_CLOSE && ns_str_compare_nocase(&hm->method, "PUT") != 0 &&
      ns_str_compare_nocase(&hm->method, "POST") != 0) {
    hm->body.len = 0;
    hm->whole_message.len = static_cast<uint64_t>(n);
  }
  return n;
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
