#pragma once
// A list that a signal handler may walk at any moment, without a lock, while ordinary threads
// change it. Writers serialise on a spin lock; readers only raise a reader count while they walk.
//
// A node is fully written before a compare-and-swap publishes it, so a reader never sees a half
// built node. A node removed while readers are walking is not freed: it keeps its link to its
// old successor, so a reader standing on it walks on into the live list, and it waits on a free
// list that is chained apart from those links. Free nodes are reused, or released, only while no
// reader holds the list.
//
// Writers (append, prepend, remove, the destructor) allocate and must not run on the crash path.
// Readers (set_reading, next) are async-signal-safe. Values are copied bytewise.
#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

#include "crash/engine/CrashAsync.h"

template <typename V>
class CrashAsyncLinkedList {
  static_assert(std::is_trivially_copyable_v<V>, "values are copied without constructors");

 public:
  struct node {
    V value;
    node* prev;
    std::atomic<node*> next;
    node* free_next;  // the free list's own chain
  };

  CrashAsyncLinkedList() = default;
  // Releases every node, live or free. No reader may hold the list.
  ~CrashAsyncLinkedList() {
    releaseChain(head_.load());
    for (node* n = free_; n != nullptr;) {
      node* following = n->free_next;
      destroy(n);
      n = following;
    }
  }
  CrashAsyncLinkedList(const CrashAsyncLinkedList&) = delete;
  CrashAsyncLinkedList& operator=(const CrashAsyncLinkedList&) = delete;

  // Adds `value` at the tail. Aborts when no memory is left.
  void nasync_append(V value) {
    WriteLock lock(this);
    node* n = supply(value);
    node* tail = tail_;
    if (tail != nullptr) {
      n->prev = tail;
      node* expected = nullptr;
      if (!tail->next.compare_exchange_strong(expected, n)) {
        CRASH_ASYNC_LOG("Failed to append to image list despite holding lock");
      }
      tail_ = n;
    } else {
      tail_ = n;
      node* expected = nullptr;
      if (!head_.compare_exchange_strong(expected, n)) {
        CRASH_ASYNC_LOG("An async image head was set with tail == NULL despite holding lock.");
      }
    }
  }

  // Adds `value` at the head. Aborts when no memory is left.
  void nasync_prepend(V value) {
    WriteLock lock(this);
    node* n = supply(value);
    node* head = head_.load();
    if (head != nullptr) {
      n->next.store(head);
      head->prev = n;
      if (!head_.compare_exchange_strong(head, n)) {
        CRASH_ASYNC_LOG("Failed to prepend to image list despite holding lock");
      }
    } else {
      tail_ = n;
      node* expected = nullptr;
      if (!head_.compare_exchange_strong(expected, n)) {
        CRASH_ASYNC_LOG("An async image head was set with tail == NULL despite holding lock.");
      }
    }
  }

  // Unlinks `target`; a node that is not in the list is ignored. The node is freed at once when
  // no reader holds the list, else it goes to the free list.
  void nasync_remove_node(node* target) {
    WriteLock lock(this);
    node* previous = nullptr;
    node* n = head_.load();
    while (n != nullptr && n != target) {
      previous = n;
      n = n->next.load();
    }
    if (n == nullptr) return;

    node* successor = target->next.load();
    if (previous == nullptr) {
      node* expected = target;
      if (!head_.compare_exchange_strong(expected, successor)) {
        CRASH_ASYNC_LOG("Failed to remove image list head despite holding lock");
      }
    } else {
      node* expected = target;
      if (!previous->next.compare_exchange_strong(expected, successor)) {
        CRASH_ASYNC_LOG("Failed to remove image list item despite holding lock");
      }
    }
    if (successor != nullptr) {
      successor->prev = target->prev;
    } else {
      tail_ = target->prev;
    }

    // target->next stays as it is: a reader standing on the node walks on from there.
    if (refcount_.load() <= 0) {
      destroy(target);
    } else {
      target->free_next = free_;
      free_ = target;
    }
  }

  // true: a reader starts walking; false: it is done. Async-signal-safe.
  void set_reading(bool enable) { refcount_.fetch_add(enable ? 1 : -1); }

  // How many readers hold the list now. A node unlinked before this reads 0 can no longer be
  // reached by any reader. Async-signal-safe.
  std::int32_t reader_count() const { return refcount_.load(); }

  // The node after `current`, the head for null, or null at the end. The caller must hold a
  // reading reference; without one the process aborts. Async-signal-safe.
  node* next(node* current) {
    CRASH_ASYNC_ASSERT(refcount_.load() > 0, "_refcount > 0");
    return current == nullptr ? head_.load() : current->next.load();
  }

 private:
  class WriteLock {
   public:
    explicit WriteLock(CrashAsyncLinkedList* list) : list_(list) {
      while (list_->write_lock_.exchange(true, std::memory_order_acquire)) __builtin_ia32_pause();
    }
    ~WriteLock() { list_->write_lock_.store(false, std::memory_order_release); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

   private:
    CrashAsyncLinkedList* list_;
  };

  // A node holding `value` with cleared links: a free one when no reader could stand on it,
  // else a new one. Every store is done before the caller publishes the node.
  node* supply(V value) {
    node* n = nullptr;
    if (free_ != nullptr && refcount_.load() <= 0) {
      n = free_;
      free_ = n->free_next;
    } else {
      void* memory = malloc(sizeof(node));
      CRASH_ASYNC_ASSERT(memory != nullptr, "ptr != __null");
      n = new (memory) node;
    }
    n->value = value;
    n->prev = nullptr;
    n->free_next = nullptr;
    n->next.store(nullptr);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return n;
  }

  static void destroy(node* n) {
    n->~node();
    free(n);
  }

  static void releaseChain(node* n) {
    while (n != nullptr) {
      node* following = n->next.load();
      destroy(n);
      n = following;
    }
  }

  std::atomic<bool> write_lock_{false};
  std::atomic<node*> head_{nullptr};
  node* tail_ = nullptr;
  std::atomic<std::int32_t> refcount_{0};
  node* free_ = nullptr;
};
