#include "api/json_reply.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/base64.h"
#include "platform/heap_owner.h"

namespace {

constexpr size_t kNumberBytes = 16;  // "-2147483648" and the terminator

// True when the bytes at p lie in the reply's own text: growing the text may
// move the block, so such a value is copied out before anything is appended.
bool InOwnText(const JsonReply* reply, const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  const auto begin = reinterpret_cast<uintptr_t>(reply->text.buf);
  return reply->text.buf != nullptr && at >= begin && at < begin + reply->text.len;
}

// A heap copy of size bytes at p, or null (the reply then fails).
HeapBytes CopyOut(JsonReply* reply, const void* p, size_t size) {
  HeapBytes copy(static_cast<unsigned char*>(malloc(size)));
  if (!copy) {
    reply->failed = true;
  } else {
    memcpy(copy.get(), p, size);
  }
  return copy;
}

void Append(JsonReply* reply, std::string_view piece) {
  if (reply->failed || piece.empty()) return;
  if (mbuf_append(&reply->text, piece.data(), piece.size()) != piece.size()) reply->failed = true;
}

// The separator, then "\"name\": ", or a lone space for an array element
// (null name).
void MemberName(JsonReply* reply, const char* name) {
  Append(reply, reply->separator);
  reply->separator = ",";
  if (name == nullptr) {
    Append(reply, " ");
    return;
  }
  Append(reply, " \"");
  Append(reply, name);
  Append(reply, "\": ");
}

void Open(JsonReply* reply, const char* name, const char* bracket) {
  MemberName(reply, name);
  Append(reply, bracket);
  reply->separator = "";
}

// Nothing was put inside when the text still ends with the opening bracket.
void Close(JsonReply* reply, char opening, const char* closing) {
  const std::string_view text = JsonText(reply);
  if (text.empty() || text.back() != opening) Append(reply, " ");
  Append(reply, closing);
  reply->separator = ",";
}

void AppendEscaped(JsonReply* reply, std::string_view value) {
  size_t plain_from = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    char escape[8];
    if (c == '"' || c == '\\') {
      snprintf(escape, sizeof escape, "\\%c", c);
    } else if (c == '\n') {
      // The public key's PEM lines have always been sent this way.
      snprintf(escape, sizeof escape, "\\n");
    } else if (c < 0x20 || c == 0x7F) {
      snprintf(escape, sizeof escape, "\\u%04x", c);
    } else {
      continue;
    }
    Append(reply, value.substr(plain_from, i - plain_from));
    Append(reply, escape);
    plain_from = i + 1;
  }
  Append(reply, value.substr(plain_from));
}

}  // namespace

void JsonBegin(JsonReply* reply, int error_code, JsonCodeComma comma) {
  char number[kNumberBytes];
  snprintf(number, sizeof number, "%d", error_code);
  Append(reply, "{ \"ErrorCode\": ");
  Append(reply, number);
  reply->separator = comma == JsonCodeComma::kSpaced ? " ," : ",";
}

void JsonBeginEvent(JsonReply* reply, const char* name) {
  Append(reply, "{");
  reply->separator = "";
  JsonString(reply, "Event", name);
}

void JsonString(JsonReply* reply, const char* name, std::string_view value) {
  HeapBytes copy;
  if (!value.empty() && InOwnText(reply, value.data())) {
    copy = CopyOut(reply, value.data(), value.size());
    if (copy) value = std::string_view(reinterpret_cast<const char*>(copy.get()), value.size());
  }
  MemberName(reply, name);
  Append(reply, "\"");
  AppendEscaped(reply, value);
  Append(reply, "\"");
}

void JsonBase64(JsonReply* reply, const char* name, std::span<const unsigned char> bytes) {
  HeapBytes copy;
  if (!bytes.empty() && InOwnText(reply, bytes.data())) {
    copy = CopyOut(reply, bytes.data(), bytes.size());
    if (copy) bytes = std::span<const unsigned char>(copy.get(), bytes.size());
  }
  MemberName(reply, name);
  Append(reply, "\"");
  if (!reply->failed) {
    // Encoded in place: the gap holds the text and b64_encode's NUL, which
    // is then dropped.
    const size_t at = reply->text.len;
    const size_t room = b64_encoded_size(bytes.size());
    if (mbuf_append(&reply->text, nullptr, room) != room) {
      reply->failed = true;
    } else {
      b64_encode(reply->text.buf + at, bytes.data(), bytes.size());
      reply->text.len -= 1;
    }
  }
  Append(reply, "\"");
}

void JsonNumber(JsonReply* reply, const char* name, int value) {
  char number[kNumberBytes];
  snprintf(number, sizeof number, "%d", value);
  MemberName(reply, name);
  Append(reply, number);
}

void JsonBool(JsonReply* reply, const char* name, bool value) {
  MemberName(reply, name);
  Append(reply, value ? "true" : "false");
}

void JsonOpenArray(JsonReply* reply, const char* name) {
  Open(reply, name, "[");
}

void JsonCloseArray(JsonReply* reply) {
  Close(reply, '[', "]");
}

void JsonOpenObject(JsonReply* reply, const char* name) {
  Open(reply, name, "{");
}

void JsonCloseObject(JsonReply* reply) {
  Close(reply, '{', "}");
}

void JsonNull(JsonReply* reply, const char* name) {
  MemberName(reply, name);
  Append(reply, "null");
}

void JsonEnd(JsonReply* reply) {
  Append(reply, " }");
}

std::string_view JsonText(const JsonReply* reply) {
  return std::string_view(reply->text.buf == nullptr ? "" : reply->text.buf, reply->text.len);
}
