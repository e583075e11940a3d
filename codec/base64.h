// Base64 (RFC 4648 standard alphabet, "=" padding, no line breaks). Pure
// functions without shared state, so any thread may call them. The b64_*
// functions work on caller-owned buffers that callers size with the size
// functions (the codec itself does not check sizes); the *Alloc pair sizes
// and allocates the result itself, which the caller then frees with free().
#pragma once

#include <cstddef>

// ((n + 2) / 3) * 4 + 1: characters b64_encode writes for n bytes, NUL included.
size_t b64_encoded_size(size_t n);

// Encodes n bytes of in into out (b64_encoded_size(n) bytes) and terminates it
// with a NUL. Returns the number of characters written, the NUL included.
size_t b64_encode(char* out, const unsigned char* in, size_t n);

// Upper bound of the bytes b64_decode writes for text, NUL included:
// ((c + 3) / 4) * 3 + 1, where c counts the leading alphabet characters.
size_t b64_decoded_size(const char* text);

// Decodes the leading alphabet characters of the NUL-terminated text into out
// (b64_decoded_size(text) bytes) and writes a NUL after the data. Decoding
// stops quietly at the first byte outside the alphabet ("=", white space, a
// line break, "-", "_", the end); a lone trailing character is dropped.
// Returns the number of bytes decoded, the NUL not counted.
size_t b64_decode(unsigned char* out, const char* text);

// The Base64 text of count bytes as a new NUL-terminated heap string, or null
// when count is negative, data is null with count > 0, or memory runs out.
[[nodiscard]] char* Base64EncodeAlloc(const unsigned char* data, int count);

// Decodes the leading Base64 characters of text (as b64_decode) into a new
// heap block with a NUL after the data, and stores the byte count in *count
// (may be null). Null (and *count 0) when text is null, the size would pass
// INT_MAX or memory runs out.
[[nodiscard]] unsigned char* Base64DecodeAlloc(const char* text, int* count);

// Same text as b64_encode into dst (b64_encoded_size(n) bytes); the WebSocket
// handshake's encoder, kept under its own name for the network layer.
void ws_base64_encode(const unsigned char* src, size_t n, char* dst);
