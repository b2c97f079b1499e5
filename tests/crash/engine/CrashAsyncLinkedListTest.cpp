#include "crash/engine/CrashAsyncLinkedList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using List = CrashAsyncLinkedList<int>;

std::vector<int> walk(List& list) {
  std::vector<int> values;
  list.set_reading(true);
  for (List::node* n = list.next(nullptr); n != nullptr; n = list.next(n)) values.push_back(n->value);
  list.set_reading(false);
  return values;
}

List::node* find(List& list, int value) {
  list.set_reading(true);
  List::node* n = list.next(nullptr);
  while (n != nullptr && n->value != value) n = list.next(n);
  list.set_reading(false);
  return n;
}

TEST(AsyncLinkedList, AppendPrependAndRemoveKeepTheOrder) {
  List list;
  EXPECT_EQ(walk(list), std::vector<int>{});
  list.nasync_append(2);
  list.nasync_append(3);
  list.nasync_prepend(1);
  list.nasync_append(4);
  EXPECT_EQ(walk(list), (std::vector<int>{1, 2, 3, 4}));

  list.nasync_remove_node(find(list, 1));  // head
  list.nasync_remove_node(find(list, 4));  // tail
  EXPECT_EQ(walk(list), (std::vector<int>{2, 3}));
  list.nasync_append(5);  // the tail moved back correctly
  list.nasync_prepend(0);
  EXPECT_EQ(walk(list), (std::vector<int>{0, 2, 3, 5}));

  List other;
  other.nasync_append(9);
  list.nasync_remove_node(find(other, 9));  // not in this list: ignored
  EXPECT_EQ(walk(list), (std::vector<int>{0, 2, 3, 5}));

  list.nasync_remove_node(find(list, 0));
  list.nasync_remove_node(find(list, 2));
  list.nasync_remove_node(find(list, 3));
  list.nasync_remove_node(find(list, 5));
  EXPECT_EQ(walk(list), std::vector<int>{});
  list.nasync_prepend(7);
  list.nasync_append(8);
  EXPECT_EQ(walk(list), (std::vector<int>{7, 8}));
}

// A reader standing on a node that is removed under it walks on into the live list.
TEST(AsyncLinkedList, ReaderOnARemovedNodeSeesTheRestOfTheList) {
  List list;
  for (int v : {1, 2, 3, 4}) list.nasync_append(v);

  list.set_reading(true);
  List::node* second = list.next(list.next(nullptr));
  ASSERT_EQ(second->value, 2);
  list.nasync_remove_node(second);
  list.nasync_remove_node(find(list, 1));  // the free list now holds two nodes
  std::vector<int> rest;
  for (List::node* n = list.next(second); n != nullptr; n = list.next(n)) rest.push_back(n->value);
  list.set_reading(false);

  EXPECT_EQ(rest, (std::vector<int>{3, 4}));
  EXPECT_EQ(walk(list), (std::vector<int>{3, 4}));
}

// A removed node may be reused only when no reader could still stand on it.
TEST(AsyncLinkedList, RemovedNodesAreReusedOnlyWithoutReaders) {
  List list;
  for (int v : {1, 2, 3}) list.nasync_append(v);

  list.set_reading(true);
  List::node* removed = find(list, 2);
  list.nasync_remove_node(removed);
  list.nasync_append(4);  // a reader is still walking: a new node
  EXPECT_NE(find(list, 4), removed);
  EXPECT_EQ(removed->value, 2);
  EXPECT_EQ(list.next(removed), find(list, 3));
  list.set_reading(false);

  list.nasync_append(5);  // no reader now: the removed node comes back
  EXPECT_EQ(find(list, 5), removed);
  EXPECT_EQ(walk(list), (std::vector<int>{1, 3, 4, 5}));
}

TEST(AsyncLinkedListDeathTest, WalkingWithoutAReadingReferenceAborts) {
  List list;
  list.nasync_append(1);
  EXPECT_DEATH(list.next(nullptr), "Assertion failed: _refcount > 0");
}

// Readers walk while a writer keeps appending and removing, head and inner nodes alike. Values are
// appended in increasing order, so a reader led astray (into the free list, or onto a node reused
// under it) meets a value out of order.
TEST(AsyncLinkedList, ReadersWalkSafelyWhileAWriterChangesTheList) {
  List list;
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        list.set_reading(true);
        int last = 0;
        for (List::node* n = list.next(nullptr); n != nullptr; n = list.next(n)) {
          if (n->value <= last) ++bad;
          last = n->value;
        }
        list.set_reading(false);
      }
    });
  }
  for (int v = 1; v <= 20000; ++v) {
    list.nasync_append(v);
    list.set_reading(true);
    List::node* head = list.next(nullptr);
    List::node* second = list.next(head);
    list.set_reading(false);
    if (v > 3) list.nasync_remove_node(v % 7 == 0 ? head : second);
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
