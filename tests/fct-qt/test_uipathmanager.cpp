#include <gtest/gtest.h>

#include <QThread>
#include <atomic>

#include "uipathmanager.h"

TEST(UIPathManager, StoresReplacesAndAnswersEmptyForUnknownKeys) {
  UIPathManager* paths = UIPathManager::getInstance();
  ASSERT_EQ(paths, UIPathManager::getInstance());

  paths->setPath(QStringLiteral("pm_test_key"), QStringLiteral("/home/u/.QuenvaleDrive"));
  EXPECT_EQ(paths->getPath(QStringLiteral("pm_test_key")), QStringLiteral("/home/u/.QuenvaleDrive"));
  paths->setPath(QStringLiteral("pm_test_key"), QStringLiteral("/other"));
  EXPECT_EQ(paths->getPath(QStringLiteral("pm_test_key")), QStringLiteral("/other"));

  // Keys are exact: neither case nor surrounding space is folded.
  EXPECT_TRUE(paths->getPath(QStringLiteral("PM_TEST_KEY")).isEmpty());
  EXPECT_TRUE(paths->getPath(QStringLiteral("pm_test_key ")).isEmpty());
  EXPECT_TRUE(paths->getPath(QStringLiteral("never_set")).isEmpty());
}

TEST(UIPathManager, ReadersOnOtherThreadsSeeWhatWasStored) {
  UIPathManager* paths = UIPathManager::getInstance();
  for (int i = 0; i < 50; ++i)
    paths->setPath(QStringLiteral("pm_thread_%1").arg(i), QStringLiteral("/p/%1").arg(i));

  std::atomic<int> wrong{0};
  QList<QThread*> threads;
  for (int t = 0; t < 4; ++t) {
    threads << QThread::create([&wrong, paths] {
      for (int round = 0; round < 200; ++round)
        for (int i = 0; i < 50; ++i)
          if (paths->getPath(QStringLiteral("pm_thread_%1").arg(i)) != QStringLiteral("/p/%1").arg(i)) ++wrong;
    });
    threads.back()->start();
  }
  // A writer on another key at the same time must not disturb the readers.
  for (int i = 0; i < 2000; ++i) paths->setPath(QStringLiteral("pm_busy"), QString::number(i));
  for (QThread* t : threads) {
    t->wait();
    delete t;
  }
  EXPECT_EQ(wrong.load(), 0);
}
