// The JSON text of one API reply, built member by member: the one way the
// endpoints write JSON. The text grows in one heap buffer the record owns
// (released when the record goes out of scope). An append that runs out of
// memory sets `failed`, which then stays set and turns every later append into
// nothing, so an endpoint checks once, after the last member. Used by one
// thread at a time: a capture's text is built on the device thread.
//
// Every reply is one line: "{", the "ErrorCode" member, the other members
// each with one leading space, and " }". Members are joined by "," except
// that capture and match replies have always put a space before the comma
// that follows "ErrorCode"; pages see these bytes, so the builder keeps them.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "net/mbuf.h"

// What follows the "ErrorCode" member when another member comes next.
enum class JsonCodeComma {
  kSpaced,  // " ," (capture and match replies)
  kTight,   // ","  (public-key reply)
};

struct JsonReply {
  JsonReply() = default;
  JsonReply(const JsonReply&) = delete;
  JsonReply& operator=(const JsonReply&) = delete;
  ~JsonReply() { mbuf_free(&text); }

  mbuf text = {};              // the JSON so far; not NUL-terminated
  bool failed = false;         // an append ran out of memory; text is incomplete
  const char* separator = "";  // written before the next member
};

// Starts the text with "{ \"ErrorCode\": <code>".
void JsonBegin(JsonReply* reply, int error_code, JsonCodeComma comma);

// Starts a /events message with "{ \"Event\": \"<name>\"", members joined by ",".
void JsonBeginEvent(JsonReply* reply, const char* name);

// One member each: "\"name\": " and the value; with a null name the value
// alone, as an element of the array opened last. A string is escaped: quote
// and backslash get a backslash, a line feed is written as \n, every other
// control character (and DEL) as \u00XX; other bytes pass unchanged. A value
// may point into the reply's own text (JsonText): it is copied first.
void JsonString(JsonReply* reply, const char* name, std::string_view value);
void JsonBase64(JsonReply* reply, const char* name, std::span<const unsigned char> bytes);
void JsonNumber(JsonReply* reply, const char* name, int value);
void JsonBool(JsonReply* reply, const char* name, bool value);
void JsonNull(JsonReply* reply, const char* name);

// A member (or, with a null name, an element) whose value is an array or an
// object: "[" or "{", then the members or elements that follow, up to the
// matching close, which writes " ]" or " }" (a bare "]" or "}" when nothing
// came in between). Inside, as at the top, each one has one leading space
// and they are joined by ",".
void JsonOpenArray(JsonReply* reply, const char* name);
void JsonCloseArray(JsonReply* reply);
void JsonOpenObject(JsonReply* reply, const char* name);
void JsonCloseObject(JsonReply* reply);

// Closes the object with " }".
void JsonEnd(JsonReply* reply);

// The text so far; valid until the next append.
std::string_view JsonText(const JsonReply* reply);
