// Destructors of thread_local objects without the C library's
// __cxa_thread_atexit_impl, which glibc has only since 2.18: the shipped
// library must load on 2.17, and the C++ runtime linked into it would call
// that function for every thread_local with a destructor. Defining
// __cxa_thread_atexit here keeps the runtime's own version out of the link.
// The destructors run from a pthread key's destructor when the thread ends,
// the last registered first. A thread that never ends, such as the process's
// first, keeps its objects until the process goes.
#include <pthread.h>

#include <cstdlib>

namespace {

struct ThreadExitEntry {
    void (*destructor)(void*);
    void* object;
    ThreadExitEntry* next;
};

pthread_key_t threadExitKey;
pthread_once_t threadExitKeyOnce = PTHREAD_ONCE_INIT;

// The thread's list, already detached from the key: objects that a
// destructor creates anew start a new list, which the thread library runs
// in a further round.
void runThreadExitEntries(void* first) {
    auto* entry = static_cast<ThreadExitEntry*>(first);
    while (entry != nullptr) {
        ThreadExitEntry* next = entry->next;
        entry->destructor(entry->object);
        free(entry);
        entry = next;
    }
}

void createThreadExitKey() {
    pthread_key_create(&threadExitKey, runThreadExitEntries);
}

}  // namespace

extern "C" int __cxa_thread_atexit(void (*destructor)(void*), void* object, void* /*dsoHandle*/) {
    pthread_once(&threadExitKeyOnce, createThreadExitKey);
    auto* entry = static_cast<ThreadExitEntry*>(malloc(sizeof(ThreadExitEntry)));
    if (entry == nullptr) return -1;
    *entry = {destructor, object, static_cast<ThreadExitEntry*>(pthread_getspecific(threadExitKey))};
    pthread_setspecific(threadExitKey, entry);
    return 0;
}
