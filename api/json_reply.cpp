#include "api/json_reply.h"

#include <cstdio>

#include "codec/base64.h"

namespace {

constexpr size_t kNumberBytes = 16;  // "-2147483648" and the terminator

void Append(JsonReply* reply, std::string_view piece) {
  if (reply->failed || piece.empty()) return;
  if (mbuf_append(&reply->text, piece.data(), piece.size()) != piece.size()) reply->failed = true;
}

// The separator, then "\"name\": ".
void MemberName(JsonReply* reply, const char* name) {
  Append(reply, reply->separator);
  reply->separator = ",";
  Append(reply, " \"");
  Append(reply, name);
  Append(reply, "\": ");
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

void JsonString(JsonReply* reply, const char* name, std::string_view value) {
  MemberName(reply, name);
  Append(reply, "\"");
  AppendEscaped(reply, value);
  Append(reply, "\"");
}

void JsonBase64(JsonReply* reply, const char* name, std::span<const unsigned char> bytes) {
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

void JsonNull(JsonReply* reply, const char* name) {
  MemberName(reply, name);
  Append(reply, "null");
}

void JsonEnd(JsonReply* reply) { Append(reply, " }"); }

std::string_view JsonText(const JsonReply* reply) {
  return std::string_view(reply->text.buf == nullptr ? "" : reply->text.buf, reply->text.len);
}
