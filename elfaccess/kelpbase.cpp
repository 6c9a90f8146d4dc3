// kelpbase: the growable string that the library hands out (the byte-order helpers are inline in the
// header). Relies on nothing but the C and C++ standard libraries.
#include "kelpbase.h"

#include <cstdlib>
#include <cstring>

// A string with no buffer of its own points here, so that text is never null; it is never written.
static char empty_text[1] = "";

int kelp_string_init(kelp_string *s, int flags) {
    *s = kelp_string{};
    if (flags != 0)
        return 0;
    char *text = static_cast<char *>(std::malloc(1));
    if (text == nullptr)
        return 0;
    text[0] = '\0';
    *s = kelp_string{text, 0, 1, 1};
    return 1;
}

void kelp_string_clear(kelp_string *s) {
    if (s->owned) {
        s->text[0] = '\0';
    } else {
        // A borrowed text belongs to the loaded file and must not be written.
        s->text = empty_text;
        s->capacity = 0;
    }
    s->length = 0;
}

int kelp_string_assign(kelp_string *s, const char *src, size_t len) {
    if (len == SIZE_MAX)
        return -1;
    if (s->owned && len < s->capacity) {
        std::memmove(s->text, src, len);
        s->text[len] = '\0';
        s->length = len;
        return 0;
    }
    // Grow geometrically so that a string reused for many names settles on one buffer.
    size_t capacity = s->owned && s->capacity > 0 ? s->capacity : 16;
    while (capacity <= len)
        capacity = capacity > SIZE_MAX / 2 ? len + 1 : capacity * 2;
    char *text = static_cast<char *>(std::malloc(capacity));
    if (text == nullptr)
        return -1;
    // src may lie inside the old buffer: copy before releasing it.
    if (len > 0)
        std::memcpy(text, src, len);
    text[len] = '\0';
    if (s->owned)
        std::free(s->text);
    *s = kelp_string{text, len, capacity, 1};
    return 0;
}

void kelp_string_free(kelp_string *s) {
    if (s->owned)
        std::free(s->text);
    *s = kelp_string{};
}

const char *kelpbase_get_version() {
    return "1.0.0";
}
