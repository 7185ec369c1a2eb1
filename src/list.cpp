// Exactly-sized heap strings and the growable pointer list that paths,
// options and command lines are built from.
#include "list.h"

#include <cstring>

#include "logging.h"

void* ts_checked_alloc(void* p) {
    if (p == nullptr) {
        log_write(TS_FATAL, "Out of memory");
        fatal_error_kill(1);
    }
    return p;
}

namespace {

char* allocString(size_t bytes) {
    return static_cast<char*>(ts_checked_alloc(malloc(bytes)));
}

}  // namespace

char* lfts_concat(const char* a, const char* b) {
    size_t lengthA = strlen(a);
    size_t lengthB = strlen(b);
    char* result = allocString(lengthA + lengthB + 1);
    memcpy(result, a, lengthA);
    memcpy(result + lengthA, b, lengthB + 1);
    return result;
}

char* lfts_dup(const char* s) {
    return static_cast<char*>(ts_checked_alloc(strdup(s)));
}

char* lfts_ndup(const char* s, size_t n) {
    char* result = allocString(n + 1);
    memcpy(result, s, n);
    result[n] = '\0';
    return result;
}

char* lfts_join(const char* sep, const char* const* strings, int count) {
    if (count <= 0) return static_cast<char*>(ts_checked_alloc(calloc(1, 1)));
    size_t sepLength = strlen(sep);
    size_t total = static_cast<size_t>(count - 1) * sepLength + 1;
    for (int i = 0; i < count; i++) total += strlen(strings[i]);

    char* result = allocString(total);
    char* out = result;
    auto append = [&out](const char* s, size_t length) {
        memcpy(out, s, length);
        out += length;
    };
    for (int i = 0; i < count; i++) {
        if (i > 0) append(sep, sepLength);
        append(strings[i], strlen(strings[i]));
    }
    *out = '\0';
    return result;
}

ts_list* ts_list_init() {
    auto* list = static_cast<ts_list*>(ts_checked_alloc(malloc(sizeof(ts_list))));
    list->items = static_cast<void**>(ts_checked_alloc(calloc(16, sizeof(void*))));
    list->size = 0;
    list->capacity = 16;
    return list;
}

void ts_list_push(ts_list* list, void* element) {
    if (list->size + 1 > list->capacity) {
        list->capacity *= 2;
        list->items = static_cast<void**>(
            ts_checked_alloc(realloc(list->items, list->capacity * sizeof(void*))));
    }
    list->items[list->size++] = element;
}

size_t ts_list_size(const ts_list* list) {
    return list->size;
}

void* ts_list_get(const ts_list* list, size_t index) {
    return list->items[index];
}

void** ts_list_to_array(ts_list* list) {
    void** items = list->items;
    free(list);
    return items;
}

void ts_list_free(ts_list* list) {
    free(list->items);
    free(list);
}
