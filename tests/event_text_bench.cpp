// Time to build one modify or add event with many values.
#include "event_text.h"

#include <benchmark/benchmark.h>
#include <ldap.h>

#include <string>
#include <vector>

namespace {

const std::string kDn = "cn=admins,cn=groups,cn=accounts,dc=lab";

std::vector<std::string> member_values(int64_t count)
{
    std::vector<std::string> values;
    values.reserve(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i)
        values.push_back("uid=member" + std::to_string(i) + ",cn=users,cn=accounts,dc=lab");
    return values;
}

void BM_ModifyEvent(benchmark::State &state)
{
    const auto storage = member_values(state.range(0));
    const std::vector<std::string_view> values(storage.begin(), storage.end());
    for (auto _ : state)
        benchmark::DoNotOptimize(
            dirmirror::modify_event_text(0, kDn, LDAP_MOD_ADD, "member", values));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_AddEvent(benchmark::State &state)
{
    const auto storage = member_values(state.range(0));
    const std::vector<dirmirror::AttributeValues> attributes = {
        {"objectClass", {"top", "groupOfNames"}},
        {"member", std::vector<std::string_view>(storage.begin(), storage.end())}};
    for (auto _ : state)
        benchmark::DoNotOptimize(dirmirror::add_event_text(kDn, attributes));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_ModifyEvent)->Arg(1'000)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddEvent)->Arg(1'000)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
