#include "can/frame_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// snprintf into out at *pos, never past size; keeps *pos on the text written.
void append(char *out, size_t size, size_t *pos, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void append(char *out, size_t size, size_t *pos, const char *fmt, ...) {
    if (*pos >= size) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out + *pos, size - *pos, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    size_t room = size - *pos - 1;
    *pos += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

size_t frame_trace_text(char *out, size_t size, const char *verb, const CanFrame &f, bool newline) {
    size_t pos = 0;
    if (size == 0) return 0;
    out[0] = '\0';
    append(out, size, &pos, "%s. Id: %ld, length: %d, data: ", verb, static_cast<long>(f.id), static_cast<int>(f.length));
    for (unsigned i = 0; i < can_data_length(f); ++i) append(out, size, &pos, "0x%02x ", static_cast<unsigned>(f.data[i]));
    if (newline) append(out, size, &pos, "\n");
    return pos;
}

size_t frame_to_cansend(char *out, size_t size, const CanFrame &f) {
    size_t pos = 0;
    if (size == 0) return 0;
    out[0] = '\0';
    append(out, size, &pos, "%03X#", static_cast<unsigned>(f.id & 0x7FF));
    for (unsigned i = 0; i < can_data_length(f); ++i) append(out, size, &pos, "%02X", static_cast<unsigned>(f.data[i]));
    return pos;
}

int frame_from_cansend(const char *text, CanFrame *f) {
    CanFrame r{};
    const char *p = text;
    unsigned id = 0;
    int digits = 0;
    for (; *p && *p != '#'; ++p, ++digits) {
        int h = hex_digit(*p);
        if (h < 0 || digits == 3) return -1;
        id = id * 16 + static_cast<unsigned>(h);
    }
    if (*p != '#' || digits == 0 || id > 0x7FF) return -1;
    ++p;
    while (*p && *p != '\n' && *p != '\r') {
        if (*p == '.') {
            ++p;
            continue;
        }
        int hi = hex_digit(p[0]);
        int lo = hi < 0 ? -1 : hex_digit(p[1]);
        if (lo < 0 || r.length == 8) return -1;
        r.data[r.length++] = static_cast<uint8_t>(hi * 16 + lo);
        p += 2;
    }
    r.id = id;
    *f = r;
    return 0;
}

size_t frame_to_candump(char *out, size_t size, long seconds, long micros, const char *iface, const CanFrame &f) {
    size_t pos = 0;
    if (size == 0) return 0;
    out[0] = '\0';
    append(out, size, &pos, "(%ld.%06ld) %s ", seconds, micros, iface);
    if (pos < size) pos += frame_to_cansend(out + pos, size - pos, f);
    return pos;
}
