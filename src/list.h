// String helpers, the process environment setters and ts_list, a growable
// array of pointers. Every string returned here is a fresh heap allocation
// owned by the caller and released with free.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

char* lfts_concat(const char* a, const char* b);
char* lfts_dup(const char* s);
char* lfts_ndup(const char* s, size_t n);
char* lfts_join(const char* sep, const char* const* strings, int count);

// Implemented per platform (fileutils_nix / fileutils_win).
int lfts_setenv(const char* name, const char* value, int overwrite);
int lfts_unsetenv(const char* name);
// The variable's value as a new heap string (UTF-8 on Windows), or null.
char* lfts_getenv(const char* name);

struct ts_list {
    void** items;
    size_t size;
    size_t capacity;
};

ts_list* ts_list_init();
void ts_list_push(ts_list* list, void* element);
size_t ts_list_size(const ts_list* list);
void* ts_list_get(const ts_list* list, size_t index);
// Hands the slot array to the caller and frees the list record.
void** ts_list_to_array(ts_list* list);
// Frees the slots and the record, never the elements.
void ts_list_free(ts_list* list);

// Owner of a heap string (or any malloc'ed block) that frees it on scope exit.
struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using HeapString = std::unique_ptr<char, FreeDeleter>;

// Aborts the process through the fatal log path when the heap is exhausted.
void* ts_checked_alloc(void* p);
