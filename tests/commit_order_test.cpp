// Commit order without a broker: tickets handed over in any order and from
// any thread come out in ticket order; a ticket that never comes is passed
// over after its bound; what does not fit becomes a loss.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "commit_order.h"
#include "fake_host.h"

using namespace std::chrono_literals;
using dirmirror::CommitOrder;
using dirmirror::Outgoing;

namespace {

// Everything pop() gives now: change and control bodies, "LOST:n" for a loss of n events.
std::vector<std::string> pop_all(CommitOrder &order)
{
    std::vector<std::string> out;
    Outgoing item;
    while (order.pop(item))
        out.push_back(item.kind == Outgoing::Kind::lost
                          ? "LOST:" + std::to_string(item.events_lost)
                          : item.body);
    return out;
}

} // namespace

TEST(CommitOrder, HandsOutEventsByTicketWhateverTheOrderTheyArriveIn)
{
    struct Case {
        const char *name;
        std::vector<int> resolve_order; // 0-based ticket indexes
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"in order", {0, 1, 2}, {"a0", "a1", "b0", "c0"}},
        {"reversed", {2, 1, 0}, {"a0", "a1", "b0", "c0"}},
        {"middle last", {0, 2, 1}, {"a0", "a1", "b0", "c0"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        dirmirror::Buffer buffer(64u << 20); // never given back here
        CommitOrder order(buffer);
        const std::vector<std::uint64_t> tickets = {order.take(), order.take(), order.take()};
        const std::vector<std::vector<std::string>> events = {{"a0", "a1"}, {"b0"}, {"c0"}};
        std::vector<std::string> got;
        for (const int index : c.resolve_order) {
            const auto &bodies = events[static_cast<size_t>(index)];
            order.resolve(tickets[static_cast<size_t>(index)], {bodies.begin(), bodies.end()});
            for (auto &body : pop_all(order))
                got.push_back(body);
        }
        EXPECT_EQ(got, c.expected);
    }
}

// Operations on several threads: tickets are taken under a lock (as the
// backend's serial lock does), events handed over later in random order.
TEST(CommitOrder, ConcurrentOperationsComeOutInCommitOrder)
{
    dirmirror::Buffer buffer(64u << 20); // never given back here
    CommitOrder order(buffer);
    constexpr int kThreads = 8, kPerThread = 300;
    std::mutex backend_lock;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; i < kPerThread; ++i) {
                std::uint64_t ticket;
                {
                    std::lock_guard lock(backend_lock);
                    ticket = order.take();
                }
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
                // Every fifth operation failed after its ticket: nothing to publish.
                std::vector<std::string> events;
                if (i % 5 != 0)
                    events = {std::to_string(ticket) + ".0", std::to_string(ticket) + ".1"};
                order.resolve(ticket, {events.begin(), events.end()});
            }
        });
    std::vector<std::string> got;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (got.size() < kThreads * kPerThread * 4 / 5 * 2 &&
           std::chrono::steady_clock::now() < deadline) {
        for (auto &body : pop_all(order))
            got.push_back(body);
        std::this_thread::yield();
    }
    for (auto &t : threads)
        t.join();
    for (auto &body : pop_all(order))
        got.push_back(body);

    ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kPerThread * 4 / 5 * 2));
    double last = 0;
    for (const auto &body : got) {
        const double position = std::stod(body); // ticket.index
        EXPECT_LT(last, position) << body;
        last = position;
    }
    EXPECT_TRUE(fake_log_lines().empty());
}

// A control message and a loss take a place of their own: they never
// overtake an event that took its place before them, however late that one
// is handed over.
TEST(CommitOrder, ControlMessagesAndLossesComeAfterEveryPlaceTakenBeforeThem)
{
    dirmirror::Buffer buffer(64u << 20); // never given back here
    CommitOrder order(buffer);
    const auto held = order.take(), committed = order.take();
    order.resolve(committed, {std::string("committed")});
    order.append_control("control");
    order.append_loss();
    EXPECT_TRUE(pop_all(order).empty());
    order.resolve(held, {std::string("held")});
    EXPECT_EQ(pop_all(order), (std::vector<std::string>{"held", "committed", "control", "LOST:0"}));
}

TEST(CommitOrder, ATicketNeverHandedOverIsPassedOverAfterItsBound)
{
    fake_log_clear();
    dirmirror::Buffer buffer(64u << 20); // never given back here
    CommitOrder order(buffer, {.pass_over_after = 300ms});
    const auto stuck = order.take(), later = order.take();
    order.resolve(later, {std::string("later")});
    EXPECT_TRUE(pop_all(order).empty()) << "held back behind the missing ticket";
    EXPECT_GT(order.until_pass_over(), 200ms);
    std::this_thread::sleep_for(350ms);
    EXPECT_EQ(pop_all(order), (std::vector<std::string>{"LOST:0", "later"}));
    const auto lines = fake_log_matching("не завершилась за 300 мс");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].subsystem, "commit_order");

    // Its events turn up after all: too late for their place, so they owe a
    // FULLSYNC of their own; a late ticket with nothing to publish owes none.
    order.resolve(stuck, {std::string("stuck")});
    EXPECT_EQ(pop_all(order), std::vector<std::string>{"LOST:1"});
    const auto empty = order.take(), next = order.take();
    order.resolve(next, {std::string("next")});
    std::this_thread::sleep_for(350ms);
    EXPECT_EQ(pop_all(order), (std::vector<std::string>{"LOST:0", "next"}));
    order.resolve(empty, {});
    EXPECT_TRUE(pop_all(order).empty());
}

// Every event takes its room in the buffer until the publisher gives it
// back; what does not fit is a loss, reported once per spell, and one
// marker stands for a run of losses, with the number of events lost.
TEST(CommitOrder, WhatDoesNotFitTheBufferIsALossReportedOncePerSpell)
{
    fake_log_clear();
    const std::size_t one = dirmirror::buffer_bytes(dirmirror::Change(std::string("aaaa")));
    dirmirror::Buffer buffer(3 * one);
    CommitOrder order(buffer);
    order.resolve(order.take(), {std::string("aaaa"), std::string("bbbb")});
    order.resolve(order.take(), {std::string("cccc"), std::string("dddd")}); // four: too many
    order.resolve(order.take(), {std::string("eeeeeeeeeee")});  // longer: too many bytes
    order.append_control("xxxxx");                 // the same for a control message
    order.resolve(order.take(), {std::string("ffff")});
    EXPECT_EQ(buffer.used(), 3 * one);
    std::vector<std::string> got;
    Outgoing item;
    std::size_t taken = 0;
    while (order.pop(item)) {
        got.push_back(item.kind == Outgoing::Kind::lost ? "LOST:" + std::to_string(item.events_lost)
                                                        : item.body);
        taken += item.buffer_bytes;
    }
    EXPECT_EQ(got, (std::vector<std::string>{"aaaa", "bbbb", "LOST:3", "ffff"}));
    EXPECT_EQ(taken, buffer.used()) << "what the publisher has to give back";
    EXPECT_EQ(fake_log_matching("Буфер публикации заполнен").size(), 1u);
    // Room again once given back: the next spell is reported again.
    buffer.give_back(taken);
    order.resolve(order.take(), {std::string("0123456789a"), std::string("b"), std::string("c"), std::string("d")});
    EXPECT_EQ(pop_all(order), std::vector<std::string>{"LOST:4"});
    EXPECT_EQ(fake_log_matching("Буфер публикации заполнен").size(), 2u);
    EXPECT_EQ(buffer.high_water(), 3 * one);
}
