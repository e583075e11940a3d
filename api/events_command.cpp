#include "api/events_command.h"

#include <cstring>

namespace {

// A cursor over the message; `error` is set once and ends the parse.
struct Cursor {
  std::string_view text;
  size_t at = 0;
  const char* error = nullptr;
};

bool Fail(Cursor* c, const char* why) {
  if (c->error == nullptr) c->error = why;
  return false;
}

void SkipSpace(Cursor* c) {
  while (c->at < c->text.size()) {
    const char ch = c->text[c->at];
    if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') break;
    c->at++;
  }
}

bool Take(Cursor* c, char ch) {
  SkipSpace(c);
  if (c->at >= c->text.size() || c->text[c->at] != ch) return false;
  c->at++;
  return true;
}

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool ReadHex4(Cursor* c, unsigned* out) {
  if (c->text.size() - c->at < 4) return Fail(c, "short \\u escape");
  unsigned v = 0;
  for (int i = 0; i < 4; i++) {
    const int d = HexDigit(c->text[c->at + i]);
    if (d < 0) return Fail(c, "bad \\u escape");
    v = v * 16 + static_cast<unsigned>(d);
  }
  c->at += 4;
  *out = v;
  return true;
}

bool AppendBytes(mbuf* out, const void* data, size_t len, Cursor* c) {
  if (mbuf_append(out, data, len) != len) return Fail(c, "out of memory");
  return true;
}

bool AppendUtf8(mbuf* out, unsigned cp, Cursor* c) {
  unsigned char b[4];
  size_t n = 0;
  if (cp < 0x80) {
    b[n++] = static_cast<unsigned char>(cp);
  } else if (cp < 0x800) {
    b[n++] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    b[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    b[n++] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    b[n++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    b[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  } else {
    b[n++] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    b[n++] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    b[n++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    b[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  }
  return AppendBytes(out, b, n, c);
}

// A string at the cursor (opening quote included), decoded into *out.
bool ReadString(Cursor* c, mbuf* out) {
  if (!Take(c, '"')) return Fail(c, "a string was expected");
  while (c->at < c->text.size()) {
    const char ch = c->text[c->at++];
    if (ch == '"') return true;
    if (static_cast<unsigned char>(ch) < 0x20) return Fail(c, "control character in a string");
    if (ch != '\\') {
      if (!AppendBytes(out, &ch, 1, c)) return false;
      continue;
    }
    if (c->at >= c->text.size()) break;
    const char e = c->text[c->at++];
    static constexpr char kEscapes[] = "\"\\/bfnrt";
    static constexpr char kMeanings[] = "\"\\/\b\f\n\r\t";
    if (const char* p = strchr(kEscapes, e); p != nullptr && e != '\0') {
      if (!AppendBytes(out, &kMeanings[p - kEscapes], 1, c)) return false;
      continue;
    }
    if (e != 'u') return Fail(c, "bad escape in a string");
    unsigned cp = 0;
    if (!ReadHex4(c, &cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return Fail(c, "lone low surrogate");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      unsigned low = 0;
      if (c->text.substr(c->at, 2) != "\\u") return Fail(c, "lone high surrogate");
      c->at += 2;
      if (!ReadHex4(c, &low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return Fail(c, "lone high surrogate");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    if (!AppendUtf8(out, cp, c)) return false;
  }
  return Fail(c, "unterminated string");
}

bool IsDigit(char ch) {
  return ch >= '0' && ch <= '9';
}

// A number by the JSON grammar; its text is appended unchanged.
bool ReadNumber(Cursor* c, mbuf* out) {
  const std::string_view t = c->text;
  const size_t start = c->at;
  size_t i = start;
  if (i < t.size() && t[i] == '-') i++;
  if (i < t.size() && t[i] == '0') {
    i++;
  } else if (i < t.size() && IsDigit(t[i])) {
    while (i < t.size() && IsDigit(t[i])) i++;
  } else {
    return Fail(c, "bad value");
  }
  if (i < t.size() && t[i] == '.') {
    if (++i >= t.size() || !IsDigit(t[i])) return Fail(c, "bad number");
    while (i < t.size() && IsDigit(t[i])) i++;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    i++;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) i++;
    if (i >= t.size() || !IsDigit(t[i])) return Fail(c, "bad number");
    while (i < t.size() && IsDigit(t[i])) i++;
  }
  c->at = i;
  return AppendBytes(out, t.data() + start, i - start, c);
}

bool TakeWord(Cursor* c, std::string_view word) {
  if (c->text.substr(c->at, word.size()) != word) return false;
  c->at += word.size();
  return true;
}

// Percent-encodes everything but the unreserved characters, so that the
// form reader's decoding gives the bytes back exactly.
bool AppendFormEncoded(mbuf* form, const mbuf& raw, Cursor* c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < raw.len; i++) {
    const auto b = static_cast<unsigned char>(raw.buf[i]);
    const bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                       b == '-' || b == '_' || b == '.' || b == '~';
    if (plain) {
      if (!AppendBytes(form, &b, 1, c)) return false;
    } else {
      const char esc[3] = {'%', kHex[b >> 4], kHex[b & 15]};
      if (!AppendBytes(form, esc, sizeof esc, c)) return false;
    }
  }
  return true;
}

struct Scratch {
  ~Scratch() {
    mbuf_free(&name);
    mbuf_free(&value);
  }
  mbuf name = {};
  mbuf value = {};
};

std::string_view View(const mbuf& m) {
  return std::string_view(m.buf == nullptr ? "" : m.buf, m.len);
}

// One member: its name into s->name and its value into s->value (a string
// decoded, a number as written, true "Y", false "N"). *present is false for
// null.
bool ReadMember(Cursor* c, Scratch* s, bool* is_string, bool* present) {
  s->name.len = 0;
  s->value.len = 0;
  if (!ReadString(c, &s->name)) return false;
  if (!Take(c, ':')) return Fail(c, "':' was expected");
  SkipSpace(c);
  *is_string = false;
  *present = true;
  if (c->at >= c->text.size()) return Fail(c, "a value was expected");
  const char ch = c->text[c->at];
  if (ch == '"') {
    *is_string = true;
    return ReadString(c, &s->value);
  }
  if (ch == '{' || ch == '[') return Fail(c, "nested objects and arrays are not taken");
  if (TakeWord(c, "true")) return AppendBytes(&s->value, "Y", 1, c);
  if (TakeWord(c, "false")) return AppendBytes(&s->value, "N", 1, c);
  if (TakeWord(c, "null")) {
    *present = false;
    return true;
  }
  return ReadNumber(c, &s->value);
}

}  // namespace

int ParseEventsCommand(std::string_view text, EventsCommand* out, const char** error) {
  Cursor c{text};
  const auto failed = [&](const char* why) {
    *error = c.error != nullptr ? c.error : why;
    mbuf_free(&out->form);
    return -1;
  };
  if (text.size() > kEventsCommandMaxBytes) return failed("command too long");
  if (!Take(&c, '{')) return failed("a JSON object was expected");
  Scratch s;
  bool have_command = false;
  bool first = true;
  while (!Take(&c, '}')) {
    if (!first && !Take(&c, ',')) return failed("',' or '}' was expected");
    first = false;
    bool is_string = false, present = false;
    if (!ReadMember(&c, &s, &is_string, &present)) return failed("bad member");
    if (View(s.name) == "Command") {
      if (have_command) return failed("\"Command\" given twice");
      if (!is_string) return failed("\"Command\" must be a string");
      if (View(s.value) == "Capture") {
        out->kind = EventsCommandKind::kCapture;
      } else if (View(s.value) == "Cancel") {
        out->kind = EventsCommandKind::kCancel;
      } else {
        return failed("unknown command");
      }
      have_command = true;
      continue;
    }
    if (!present) continue;
    if (out->form.len > 0 && !AppendBytes(&out->form, "&", 1, &c)) return failed("");
    if (!AppendFormEncoded(&out->form, s.name, &c) || !AppendBytes(&out->form, "=", 1, &c) ||
        !AppendFormEncoded(&out->form, s.value, &c))
      return failed("");
  }
  SkipSpace(&c);
  if (c.at != text.size()) return failed("text after the object");
  if (!have_command) return failed("no \"Command\" member");
  return 0;
}
