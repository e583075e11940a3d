// Form-variable lookup and URL decoding: the output stays inside its size and
// is always terminated; results keep to their documented range.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/http_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Byte 0: output size; byte 1: name length; then the name, then the form.
  const size_t out_size = data[0] % 64;
  const size_t name_len = data[1] % 16;
  if (size - 2 < name_len) return 0;
  const std::vector<char> name_bytes(data + 2, data + 2 + name_len);
  std::string name(name_bytes.begin(), name_bytes.end());
  name = name.c_str();  // names are NUL-terminated texts
  std::vector<char> form(data + 2 + name_len, data + size);
  std::vector<char> out(out_size);

  const ns_str slice{form.empty() ? nullptr : form.data(), form.size()};
  const int r = http_form_var(&slice, name.c_str(), out_size ? out.data() : nullptr, out_size);
  if (out_size == 0) {
    if (r != -2) abort();
    return 0;
  }
  if (r < -2 || r >= static_cast<int>(out_size)) abort();
  if (memchr(out.data(), '\0', out_size) == nullptr) abort();
  if (r >= 0 && out[static_cast<size_t>(r)] != '\0') abort();

  const int d =
      http_url_decode(form.data(), form.size(), out_size ? out.data() : nullptr, out_size, true);
  if (d < -1 || d >= static_cast<int>(out_size)) abort();
  return 0;
}
