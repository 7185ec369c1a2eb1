#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "list.h"
#include "support/child.h"

TEST(Strings, ConcatJoinsBothAndEmptyStaysEmpty) {
    HeapString joined(lfts_concat("foo", "bar"));
    EXPECT_STREQ(joined.get(), "foobar");
    HeapString empty(lfts_concat("", ""));
    EXPECT_STREQ(empty.get(), "");
}

TEST(Strings, DupCopiesIntoFreshMemory) {
    const char* original = "/opt/tarsil";
    HeapString copy(lfts_dup(original));
    EXPECT_STREQ(copy.get(), original);
    EXPECT_NE(copy.get(), original);
}

TEST(Strings, NdupCopiesExactlyCountBytesThroughEmbeddedNul) {
    HeapString none(lfts_ndup("abc", 0));
    EXPECT_STREQ(none.get(), "");

    const char source[] = {'a', '\0', 'b', 'c', 'd'};
    HeapString copy(lfts_ndup(source, 4));
    EXPECT_EQ(std::string(copy.get(), 5), std::string("a\0bc\0", 5));
    EXPECT_STREQ(copy.get(), "a");

    HeapString prefix(lfts_ndup("classpath", 5));
    EXPECT_STREQ(prefix.get(), "class");
}

TEST(Strings, JoinPutsSeparatorBetweenNeighboursOnly) {
    const char* items[] = {"a", "b", "c"};
    HeapString all(lfts_join(", ", items, 3));
    EXPECT_STREQ(all.get(), "a, b, c");

    HeapString one(lfts_join("SEPARATOR", items, 1));
    EXPECT_STREQ(one.get(), "a");

    HeapString none(lfts_join(":", items, 0));
    ASSERT_NE(none.get(), nullptr);
    EXPECT_STREQ(none.get(), "");

    const char* withEmpty[] = {"", "x", ""};
    HeapString edges(lfts_join(":", withEmpty, 3));
    EXPECT_STREQ(edges.get(), ":x:");
}

TEST(List, GrowsByDoublingFromSixteen) {
    ts_list* list = ts_list_init();
    EXPECT_EQ(list->capacity, 16u);
    EXPECT_EQ(ts_list_size(list), 0u);
    int values[70];
    for (int i = 0; i < 16; i++) ts_list_push(list, &values[i]);
    EXPECT_EQ(list->capacity, 16u);
    ts_list_push(list, &values[16]);
    EXPECT_EQ(list->capacity, 32u);
    for (int i = 17; i < 33; i++) ts_list_push(list, &values[i]);
    EXPECT_EQ(list->capacity, 64u);
    for (int i = 33; i < 70; i++) ts_list_push(list, &values[i]);
    EXPECT_EQ(list->capacity, 128u);
    ASSERT_EQ(ts_list_size(list), 70u);
    for (size_t i = 0; i < 70; i++) EXPECT_EQ(ts_list_get(list, i), &values[i]);
    ts_list_free(list);
}

TEST(List, ToArrayHandsOverSlotsWithUnusedOnesNull) {
    ts_list* empty = ts_list_init();
    void** none = ts_list_to_array(empty);
    for (int i = 0; i < 16; i++) EXPECT_EQ(none[i], nullptr);
    free(none);

    ts_list* list = ts_list_init();
    char* a = lfts_dup("a");
    char* b = lfts_dup("b");
    ts_list_push(list, a);
    ts_list_push(list, b);
    size_t size = ts_list_size(list);
    void** items = ts_list_to_array(list);
    ASSERT_EQ(size, 2u);
    EXPECT_STREQ(static_cast<char*>(items[0]), "a");
    EXPECT_STREQ(static_cast<char*>(items[1]), "b");
    for (int i = 2; i < 16; i++) EXPECT_EQ(items[i], nullptr);
    free(a);
    free(b);
    free(items);
}

TEST(List, FreeLeavesElementsToTheirOwner) {
    ts_list* list = ts_list_init();
    char* element = lfts_dup("still mine");
    ts_list_push(list, element);
    ts_list_free(list);
    EXPECT_STREQ(element, "still mine");
    free(element);
}

TEST(Environment, SetenvOverwritesOnlyWhenAskedAndUnsetRemoves) {
    ChildResult child = runInChild([] {
        std::string report;
        report += std::to_string(lfts_setenv("TARSIL_TEST_VAR", "one", 1)) + ",";
        report += std::to_string(lfts_setenv("TARSIL_TEST_VAR", "two", 0)) + ",";
        report += std::string(getenv("TARSIL_TEST_VAR")) + ",";
        lfts_setenv("TARSIL_TEST_VAR", "three", 1);
        report += std::string(getenv("TARSIL_TEST_VAR")) + ",";
        lfts_unsetenv("TARSIL_TEST_VAR");
        report += getenv("TARSIL_TEST_VAR") == nullptr ? "gone" : "present";
        return report;
    });
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.report, "0,0,one,three,gone");
}
