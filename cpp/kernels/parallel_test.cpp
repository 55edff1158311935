#include "kernels/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tabrix {
namespace {

class ParallelFor : public ::testing::TestWithParam<unsigned> {};

TEST_P(ParallelFor, RunsEveryTaskOnceWithWorkersBelowTheCount) {
    const unsigned threads = GetParam();
    for (size_t ntasks : {0, 1, 2, 7, 1000}) {
        std::vector<std::atomic<int>> runs(ntasks);
        std::atomic<bool> bad_worker{false};
        parallel_for(ntasks, threads, [&](size_t i, unsigned worker) {
            runs[i].fetch_add(1);
            if (worker >= (threads ? threads : 1)) bad_worker = true;
        });
        for (size_t i = 0; i < ntasks; ++i) EXPECT_EQ(runs[i].load(), 1) << ntasks << " " << i;
        EXPECT_FALSE(bad_worker);
    }
}

TEST_P(ParallelFor, RethrowsTheFirstErrorAfterTheThreadsStop) {
    std::atomic<size_t> started{0};
    EXPECT_THROW(parallel_for(10000, GetParam(),
                              [&](size_t i, unsigned) {
                                  ++started;
                                  if (i == 3) throw std::runtime_error("task 3");
                              }),
                 std::runtime_error);
    EXPECT_GE(started.load(), 4u);
}

TEST_P(ParallelFor, OrderedFinishesEveryTaskOnceDoneInOrderOnTheCallingThread) {
    const std::thread::id caller = std::this_thread::get_id();
    for (size_t ntasks : {0, 1, 3, 500}) {
        std::vector<std::atomic<int>> value(ntasks);
        std::vector<size_t> finished;
        bool elsewhere = false;
        const size_t end = parallel_ordered(
            ntasks, GetParam(), [&](size_t i, unsigned) { value[i] = static_cast<int>(i) + 1; },
            [&](size_t i) {
                EXPECT_EQ(value[i].load(), static_cast<int>(i) + 1);
                elsewhere = elsewhere || std::this_thread::get_id() != caller;
                finished.push_back(i);
                return true;
            });
        EXPECT_EQ(end, ntasks);
        ASSERT_EQ(finished.size(), ntasks);
        for (size_t i = 0; i < ntasks; ++i) EXPECT_EQ(finished[i], i);
        EXPECT_FALSE(elsewhere);
    }
}

TEST_P(ParallelFor, OrderedStopsWhenFinishSaysSoWithEveryThreadEnded) {
    // After the return the caller may change what the tasks read: no task may still run.
    std::atomic<bool> returned{false}, ran_after{false};
    std::vector<size_t> finished;
    const size_t end = parallel_ordered(
        2000, GetParam(),
        [&](size_t, unsigned) {
            std::this_thread::yield();
            if (returned) ran_after = true;
        },
        [&](size_t i) {
            finished.push_back(i);
            return i != 7;
        });
    returned = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(end, 7u);
    EXPECT_EQ(finished.size(), 8u);
    EXPECT_FALSE(ran_after);
}

TEST_P(ParallelFor, OrderedRethrowsAnErrorOfTaskOrFinish) {
    for (bool in_finish : {false, true}) {
        std::atomic<size_t> finished{0};
        EXPECT_THROW(parallel_ordered(
                         1000, GetParam(),
                         [&](size_t i, unsigned) {
                             if (!in_finish && i == 5) throw std::runtime_error("task");
                         },
                         [&](size_t i) {
                             if (in_finish && i == 5) throw std::logic_error("finish");
                             ++finished;
                             return true;
                         }),
                     std::exception);
        EXPECT_LE(finished.load(), 5u);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, ParallelFor, ::testing::Values(0u, 1u, 2u, 8u));

TEST(AvailableCores, AtLeastOne) { EXPECT_GE(available_cores(), 1u); }

TEST(ParsePositiveCount, AcceptsWholePositiveNumbersOnly) {
    size_t v = 99;
    EXPECT_TRUE(parse_positive_count("1", &v));
    EXPECT_EQ(v, 1u);
    EXPECT_TRUE(parse_positive_count(" 16 ", &v));
    EXPECT_EQ(v, 16u);
    EXPECT_TRUE(parse_positive_count("2147483647", &v));
    EXPECT_EQ(v, 2147483647u);
    v = 99;
    for (const char* bad : {"", " ", "0", "-1", "+2", "2.0", "2x", "x", "1 2", "2147483648",
                            "99999999999999999999"}) {
        EXPECT_FALSE(parse_positive_count(bad, &v)) << bad;
    }
    EXPECT_FALSE(parse_positive_count(nullptr, &v));
    EXPECT_EQ(v, 99u);
}

}  // namespace
}  // namespace tabrix
