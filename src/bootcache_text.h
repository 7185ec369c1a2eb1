// Small text helpers shared by the parts of the bootstrap jar cache.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "list.h"

template <size_t N>
bool isOneOf(std::string_view arg, const std::string_view (&table)[N]) {
    return std::find(std::begin(table), std::end(table), arg) != std::end(table);
}

template <size_t N>
bool startsWithOneOf(std::string_view arg, const std::string_view (&table)[N]) {
    return std::any_of(std::begin(table), std::end(table),
                       [arg](std::string_view prefix) { return arg.starts_with(prefix); });
}

// printf into a new heap string of exactly the formatted length.
template <typename... Args>
char* formatHeap(const char* format, Args... args) {
    int length = snprintf(nullptr, 0, format, args...);
    auto* text = static_cast<char*>(ts_checked_alloc(malloc(static_cast<size_t>(length) + 1)));
    snprintf(text, static_cast<size_t>(length) + 1, format, args...);
    return text;
}
