#include "device/oxbind/oxbind.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

TEST(PhoneHandles, CreatedReleasedOnceAndNeverReused) {
  const PhoneHandle a = KV_CreatePhone(0);
  const PhoneHandle b = KV_CreatePhone(0);
  ASSERT_NE(a, KV_INVALID_HANDLE);
  ASSERT_NE(b, KV_INVALID_HANDLE);
  EXPECT_NE(a, b);
  EXPECT_EQ(KV_ReleasePhone(a), KV_OK);
  EXPECT_NE(KV_ReleasePhone(a), KV_OK);  // a second release is refused
  const PhoneHandle c = KV_CreatePhone(0);
  EXPECT_NE(c, a);  // a stale copy of a never names a new phone
  EXPECT_NE(KV_ReleasePhone(KV_INVALID_HANDLE), KV_OK);
  EXPECT_NE(KV_ReleasePhone(123456789), KV_OK);
  EXPECT_EQ(KV_CreatePhone(1), KV_INVALID_HANDLE);  // the argument is reserved: 0 only
  EXPECT_EQ(KV_ReleasePhone(b), KV_OK);
  EXPECT_EQ(KV_ReleasePhone(c), KV_OK);
}

TEST(PhoneHandles, ConcurrentCreatesGiveDistinctHandles) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<PhoneHandle>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t]() {
      for (int i = 0; i < kEach; ++i) made[t].push_back(KV_CreatePhone(0));
      // Release every other one while the others still create.
      for (std::size_t i = 0; i < made[t].size(); i += 2) {
        if (KV_ReleasePhone(made[t][i]) != KV_OK) made[t][i] = KV_INVALID_HANDLE;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  std::set<PhoneHandle> all;
  for (const auto& list : made) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      ASSERT_NE(list[i], KV_INVALID_HANDLE);
      all.insert(list[i]);
      if (i % 2 == 1) {
        EXPECT_EQ(KV_ReleasePhone(list[i]), KV_OK);
      }
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST(PhoneHandles, FailureSwitchForTheStartUpTests) {
  qputenv("KESTREL_FAIL_CREATE_PHONE", QByteArray("1"));
  EXPECT_EQ(KV_CreatePhone(0), KV_INVALID_HANDLE);
  qunsetenv("KESTREL_FAIL_CREATE_PHONE");
  const PhoneHandle h = KV_CreatePhone(0);
  EXPECT_NE(h, KV_INVALID_HANDLE);
  EXPECT_EQ(KV_ReleasePhone(h), KV_OK);
}
