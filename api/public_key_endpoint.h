// "/VRNGetPublicKey": hands out the service's RSA public key as PEM inside a
// JSON string, optionally regenerating the pair first. Service thread only.
#pragma once

#include <cstddef>

// Capacity of the JSON-escaped PEM text, NUL included.
inline constexpr size_t kEscapedPemBytes = 4096;

// Copies pem into out (capacity kEscapedPemBytes) with each LF written as the
// two characters backslash and "n". Returns the escaped length, or -1 when it
// does not fit (out then holds an empty text).
int EscapePemForJson(const char* pem, char (&out)[kEscapedPemBytes]);
