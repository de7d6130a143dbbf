// The per-object access counter, the once-only cell and the index of the
// module's own keys, driven by real threads. Built and run under
// ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "binding/access_counter.hpp"
#include "binding/key_text_index.hpp"
#include "binding/known_key_index.hpp"
#include "binding/once.hpp"

namespace mirabex {
namespace {

constexpr int kThreads = 8;

template <class Body>
void run_threads(int count, Body&& body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (auto& thread : threads) thread.join();
}

TEST(AccessCounter, ReadersShareWritersExclude) {
  AccessCounter counter;
  std::atomic<int> readers{0};
  std::atomic<int> writers{0};
  std::atomic<int> violations{0};
  std::atomic<long> reads{0};
  std::atomic<long> writes{0};
  int guarded_value = 0;  // written only under the exclusive access
  // Every thread keeps trying until it has held its access a fixed number
  // of times: a refused attempt fails at once, so on a busy machine one kind
  // may be refused for a long stretch, but once the other kind has finished
  // nothing stands in its way.
  constexpr int kHoldsPerThread = 2000;
  run_threads(kThreads, [&](int id) {
    for (int held = 0; held < kHoldsPerThread;) {
      if (id % 4 == 0) {
        ExclusiveAccess access(counter);
        if (!access.held()) continue;
        if (writers.fetch_add(1) != 0 || readers.load() != 0) ++violations;
        ++guarded_value;
        ++writes;
        writers.fetch_sub(1);
      } else {
        SharedAccess access(counter);
        if (!access.held()) continue;
        readers.fetch_add(1);
        if (writers.load() != 0) ++violations;
        [[maybe_unused]] volatile int seen = guarded_value;
        ++reads;
        readers.fetch_sub(1);
      }
      ++held;
    }
  });
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(counter.load(), 0);
  EXPECT_EQ(guarded_value, writes.load());
  constexpr long kWriterThreads = (kThreads + 3) / 4;
  EXPECT_EQ(writes.load(), kWriterThreads * kHoldsPerThread);
  EXPECT_EQ(reads.load(), (kThreads - kWriterThreads) * kHoldsPerThread);
}

TEST(AccessCounter, ConflictsFailAtOnce) {
  AccessCounter counter;
  {
    SharedAccess first(counter);
    SharedAccess second(counter);
    ASSERT_TRUE(first.held() && second.held());
    EXPECT_EQ(counter.load(), 2);
    EXPECT_FALSE(ExclusiveAccess(counter).held());
  }
  {
    ExclusiveAccess writer(counter);
    ASSERT_TRUE(writer.held());
    EXPECT_EQ(counter.load(), -1);
    EXPECT_FALSE(SharedAccess(counter).held());
    EXPECT_FALSE(ExclusiveAccess(counter).held());
  }
  EXPECT_EQ(counter.load(), 0);
}

TEST(OnceCell, MakesTheValueOnceForAllThreads) {
  for (int round = 0; round < 50; ++round) {
    OnceCell<int*> cell;
    std::atomic<int> makes{0};
    std::atomic<int> waits_begun{0};
    std::atomic<int> waits_ended{0};
    static int value = 42;
    std::vector<int*> seen(kThreads);
    std::latch start(kThreads);
    run_threads(kThreads, [&](int id) {
      start.arrive_and_wait();
      auto [result, ok] = cell.get_or_make(
          [&] {
            ++makes;
            std::this_thread::yield();
            return std::pair<int*, bool>(&value, true);
          },
          [&] { ++waits_begun; }, [&] { ++waits_ended; });
      EXPECT_TRUE(ok);
      seen[static_cast<std::size_t>(id)] = result;
    });
    EXPECT_EQ(makes.load(), 1);
    EXPECT_EQ(waits_begun.load(), waits_ended.load());
    for (int* result : seen) EXPECT_EQ(result, &value);
    ASSERT_NE(cell.get(), nullptr);
    EXPECT_EQ(*cell.get(), &value);
  }
}

TEST(OnceCell, AFailedMakingLetsTheNextCallerTryAgain) {
  OnceCell<int> cell;
  auto failed = cell.get_or_make([] { return std::pair(-1, false); }, [] {}, [] {});
  EXPECT_FALSE(failed.second);
  EXPECT_EQ(failed.first, -1);
  EXPECT_EQ(cell.get(), nullptr);
  std::atomic<int> makes{0};
  run_threads(kThreads, [&](int) {
    auto [value, ok] = cell.get_or_make(
        [&] {
          ++makes;
          return std::pair(7, true);
        },
        [] {}, [] {});
    EXPECT_TRUE(ok);
    EXPECT_EQ(value, 7);
  });
  EXPECT_EQ(makes.load(), 1);
}

// A maker that throws while another thread waits for it: the waiter wakes
// and makes the value itself.
TEST(OnceCell, AMakerThatThrowsWakesTheWaiters) {
  OnceCell<int> cell;
  std::atomic<bool> making{false};
  std::atomic<bool> waiting{false};
  std::thread thrower([&] {
    const auto make = [&]() -> std::pair<int, bool> {
      making = true;
      while (!waiting.load()) std::this_thread::yield();
      throw std::bad_alloc();
    };
    EXPECT_THROW(cell.get_or_make(
                     make, [] {}, [] {}),
                 std::bad_alloc);
  });
  while (!making.load()) std::this_thread::yield();
  auto [value, ok] =
      cell.get_or_make([] { return std::pair(7, true); }, [&] { waiting = true; }, [] {});
  thrower.join();
  EXPECT_TRUE(waiting.load());
  EXPECT_TRUE(ok);
  EXPECT_EQ(value, 7);
}

// Stand-ins for key objects: 8-byte aligned addresses that live as long as
// the index.
struct FakeKeys {
  explicit FakeKeys(std::size_t count) : storage(count) {}
  const void* operator[](std::size_t i) const { return &storage[i]; }
  std::vector<std::uint64_t> storage;
};

KeyFacts fake_facts(std::size_t i) {
  return {pack_position(i % 300, i % 17, i % 40), i * 0x9E3779B97F4A7C15u};
}

KnownKeyIndex::Key fake_key(std::size_t i) { return {fake_facts(i), i % 13}; }

bool same_key(const KnownKeyIndex::Key& a, const KnownKeyIndex::Key& b) {
  return a.facts.position == b.facts.position && a.facts.order == b.facts.order &&
         a.text_size == b.text_size;
}

TEST(KnownKeyIndex, FindsWhatWasAddedAndNothingElse) {
  auto index = std::make_unique<KnownKeyIndex>();
  const FakeKeys keys(2 * KnownKeyIndex::kCapacity);
  for (std::size_t i = 0; i < KnownKeyIndex::kCapacity; ++i) index->add(keys[i], fake_key(i));
  for (std::size_t i = 0; i < keys.storage.size(); ++i) {
    if (i < KnownKeyIndex::kCapacity) {
      const KnownKeyIndex::Key* found = index->find(keys[i]);
      ASSERT_TRUE(found) << i;
      EXPECT_TRUE(same_key(*found, fake_key(i))) << i;
    } else {
      index->add(keys[i], fake_key(i));  // past the capacity: not taken
      EXPECT_FALSE(index->find(keys[i])) << i;
    }
  }
}

TEST(KnownKeyIndex, RefusesAddressesAnEntryCannotHold) {
  auto index = std::make_unique<KnownKeyIndex>();
  const FakeKeys keys(2);
  const void* misaligned = static_cast<const char*>(keys[1]) + 4;
  index->add(misaligned, fake_key(1));
  index->add(nullptr, fake_key(2));
  EXPECT_FALSE(index->find(misaligned));
  EXPECT_FALSE(index->find(nullptr));
  index->add(keys[0], {{kNoPosition, 5}, 12});
  ASSERT_TRUE(index->find(keys[0]));
  EXPECT_EQ(index->find(keys[0])->facts.position, kNoPosition);
}

// Threads each add their share of `count` keys, looking after each for a
// key of the next thread's share: what another thread has added so far is
// found whole or not at all. Returns how many finds were not whole.
template <class Add, class FoundBroken>
int broken_finds_while_adding(std::size_t count, Add add, FoundBroken found_broken) {
  const std::size_t per_thread = count / kThreads;
  std::atomic<int> wrong{0};
  std::latch start(kThreads);
  run_threads(kThreads, [&](int id) {
    start.arrive_and_wait();
    const std::size_t first = static_cast<std::size_t>(id) * per_thread;
    for (std::size_t i = first; i < first + per_thread; ++i) {
      add(i);
      if (found_broken((i + per_thread) % count)) ++wrong;
    }
  });
  return wrong.load();
}

TEST(KnownKeyIndex, ThreadsAddingAndFindingAtOnce) {
  auto index = std::make_unique<KnownKeyIndex>();
  const FakeKeys keys(KnownKeyIndex::kCapacity / kThreads * kThreads);
  const auto add = [&](std::size_t i) { index->add(keys[i], fake_key(i)); };
  const auto found_broken = [&](std::size_t i) {
    const KnownKeyIndex::Key* found = index->find(keys[i]);
    return found && !same_key(*found, fake_key(i));
  };
  EXPECT_EQ(broken_finds_while_adding(keys.storage.size(), add, found_broken), 0);
  for (std::size_t i = 0; i < keys.storage.size(); ++i) {
    const KnownKeyIndex::Key* found = index->find(keys[i]);
    ASSERT_TRUE(found) << i;
    EXPECT_TRUE(same_key(*found, fake_key(i))) << i;
  }
}

// Key texts as the index reads them, each after bytes of its own (a str's
// header), and a stand-in for each one's str hash.
struct FakeTexts {
  static constexpr std::size_t kHeader = KeyTextIndex::kLongestKey;
  explicit FakeTexts(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) add(std::to_string(i) + ".1");
  }
  explicit FakeTexts(const std::vector<std::string_view>& list) {
    for (const std::string_view text : list) add(text);
  }
  void add(std::string_view text) {
    texts.push_back(std::string(kHeader, '~') + std::string(text));
  }
  std::string_view operator[](std::size_t i) const {
    return std::string_view(texts[i]).substr(kHeader);
  }
  std::size_t size() const { return texts.size(); }
  static std::uint64_t hash(std::size_t i) { return i * 0xD6E8FEB86659FD93u; }
  std::vector<std::string> texts;
};

bool found_whole(const KeyTextIndex& index, std::uint64_t hash, std::string_view text,
                 const KeyFacts& facts) {
  const KeyTextIndex::Entry* found = index.find(hash, text);
  return found != nullptr && found->text() == text && found->facts().position == facts.position &&
         found->facts().order == facts.order;
}

TEST(KeyTextIndex, FindsWhatWasAddedAndNothingElse) {
  auto index = std::make_unique<KeyTextIndex>();
  const FakeTexts keys(2 * KeyTextIndex::kCapacity);
  for (std::size_t i = 0; i < KeyTextIndex::kCapacity; ++i) {
    index->add(FakeTexts::hash(i), keys[i], fake_facts(i));
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i < KeyTextIndex::kCapacity) {
      EXPECT_TRUE(found_whole(*index, FakeTexts::hash(i), keys[i], fake_facts(i))) << i;
      EXPECT_EQ(index->find(FakeTexts::hash(i) + 1, keys[i]), nullptr) << i;
    } else {
      index->add(FakeTexts::hash(i), keys[i], fake_facts(i));  // past the capacity: not taken
      EXPECT_EQ(index->find(FakeTexts::hash(i), keys[i]), nullptr) << i;
    }
  }
}

// Texts that share a hash are told apart by every byte and by their size.
TEST(KeyTextIndex, TellsApartTextsOfOneHash) {
  auto index = std::make_unique<KeyTextIndex>();
  using namespace std::string_view_literals;
  const FakeTexts texts({"",
                         "1",
                         "2",
                         "12",
                         "21",
                         "1.2",
                         "1.3",
                         "2.2",
                         "1234",
                         "1235",
                         "2234",
                         "12345678",
                         "1234567",
                         "123456789",
                         "123456788",
                         "223456789",
                         "1[0].1",
                         "1[0].2",
                         "1[0].11",
                         "abcdefghijklmnop",
                         "abcdefghijklmnoq",
                         "bbcdefghijklmnop",
                         "segment_name",
                         "\0"sv,
                         "\0\0"sv,
                         "~1",
                         "~~1"});
  constexpr std::uint64_t kHash = 42;
  for (std::size_t i = 0; i < texts.size(); ++i) index->add(kHash, texts[i], fake_facts(i));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_TRUE(found_whole(*index, kHash, texts[i], fake_facts(i))) << texts[i];
  }
  const FakeTexts absent({"3", "\0\0\0"sv, "~~~1", "abcdefghijklmnopq"});
  index->add(kHash, absent[3], fake_facts(0));  // too long to be taken
  for (std::size_t i = 0; i < absent.size(); ++i) {
    EXPECT_EQ(index->find(kHash, absent[i]), nullptr) << absent[i];
  }
}

TEST(KeyTextIndex, ThreadsAddingAndFindingAtOnce) {
  auto index = std::make_unique<KeyTextIndex>();
  const FakeTexts keys(KeyTextIndex::kCapacity / kThreads * kThreads);
  const auto add = [&](std::size_t i) { index->add(FakeTexts::hash(i), keys[i], fake_facts(i)); };
  const auto found_broken = [&](std::size_t i) {
    return index->find(FakeTexts::hash(i), keys[i]) != nullptr &&
           !found_whole(*index, FakeTexts::hash(i), keys[i], fake_facts(i));
  };
  EXPECT_EQ(broken_finds_while_adding(keys.size(), add, found_broken), 0);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_TRUE(found_whole(*index, FakeTexts::hash(i), keys[i], fake_facts(i))) << i;
  }
}

}  // namespace
}  // namespace mirabex
