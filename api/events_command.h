// The commands a page sends on the /events socket: one JSON object per text
// message with a "Command" member, "Capture" or "Cancel". A capture's other
// members are the capture form's parameters; they are turned back into a
// form body, so that the very readers of the HTTP capture (request_params.h)
// read them with the same names, defaults and limits. Pure parsing; any
// thread; the record owns its form text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/mbuf.h"

// The longest command taken: a capture with every parameter and a session
// key (about 350 Base64 characters) needs well under 1 KiB.
inline constexpr size_t kEventsCommandMaxBytes = 8192;

enum class EventsCommandKind : uint8_t {
  kCapture,
  kCancel,
};

struct EventsCommand {
  EventsCommand() = default;
  EventsCommand(const EventsCommand&) = delete;
  EventsCommand& operator=(const EventsCommand&) = delete;
  ~EventsCommand() { mbuf_free(&form); }

  EventsCommandKind kind = EventsCommandKind::kCancel;
  // "name=value&..." of every member but "Command", in their order, names and
  // values percent-encoded; a number keeps its JSON text, true becomes "Y"
  // and false "N"; null members are left out. Not NUL-terminated.
  mbuf form = {};
};

// Parses one message. The text must be a single JSON object (RFC 8259:
// strings with their escapes, numbers, true, false, null; no nested objects
// or arrays) of at most kEventsCommandMaxBytes, with a string member
// "Command" naming a known command. Returns 0 with *out filled (a fresh
// record), or -1 with a constant one-line reason in *error.
[[nodiscard]] int ParseEventsCommand(std::string_view text, EventsCommand* out, const char** error);
