// strtoi64 against the C library's strtoll on typical parser input:
// short decimal lengths and ports, hex, and values that saturate.
#include "async/convertint.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

const char *const inputs[] = {
    "0",
    "8080",
    "1234567",
    "  -42",
    "0x1A2B",
    "0777",
    "65535",
    "4294967296",
    "9223372036854775807",
    "99999999999999999999999",
};
const int ninputs = sizeof (inputs) / sizeof (inputs[0]);

int64_t
c_strtoll (const char *s, char **end, int base)
{
  return strtoll (s, end, base);
}

template <int64_t (*conv) (const char *, char **, int)>
void
convert (benchmark::State &state)
{
  for (auto _ : state)
    for (const char *s : inputs) {
      char *end;
      benchmark::DoNotOptimize (conv (s, &end, 0));
      benchmark::DoNotOptimize (end);
    }
  state.SetItemsProcessed (state.iterations () * ninputs);
}
BENCHMARK_TEMPLATE (convert, strtoi64);
BENCHMARK_TEMPLATE (convert, c_strtoll);

} // namespace
