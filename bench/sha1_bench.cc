// SHA-1 throughput: ours beside OpenSSL's EVP interface (libcrypto loaded at
// run time, one fetched digest and one context reused across iterations).
// Our code is portable C++ without SHA instructions; to compare like with
// like, run also with OpenSSL's SHA extensions masked:
//   OPENSSL_ia32cap=":~0x20000000" build-bench/bench/sha1_bench

#include <benchmark/benchmark.h>

#include "crypt/sha1.h"

#include <dlfcn.h>
#include <vector>

namespace {

const std::vector<u_char> &
message ()
{
  static std::vector<u_char> m (1 << 20, 0x5a);
  return m;
}

// A reused context: what the HTTP module does is one fresh context per key,
// measured by BM_sha1_fresh.
void
BM_sha1 (benchmark::State &st)
{
  const u_char *m = message ().data ();
  size_t n = st.range (0);
  sha1ctx c;
  u_char d[sha1::hashsize];
  for (auto _ : st) {
    c.reset ();
    c.update (m, n);
    c.final (d);
    benchmark::DoNotOptimize (d);
  }
  st.SetBytesProcessed (st.iterations () * n);
}

void
BM_sha1_fresh (benchmark::State &st)
{
  const u_char *m = message ().data ();
  size_t n = st.range (0);
  u_char d[sha1::hashsize];
  for (auto _ : st) {
    sha1ctx c;
    c.update (m, n);
    c.final (d);
    benchmark::DoNotOptimize (d);
  }
  st.SetBytesProcessed (st.iterations () * n);
}

void
BM_sha1hmac (benchmark::State &st)
{
  const u_char *m = message ().data ();
  size_t n = st.range (0);
  sha1hmac h ("a key of some length", 20);
  u_char d[sha1::hashsize];
  for (auto _ : st) {
    h.update (m, n);
    h.final (d);
    benchmark::DoNotOptimize (d);
  }
  st.SetBytesProcessed (st.iterations () * n);
}

struct evp {
  void *lib = dlopen ("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  template <class F>
  F sym (const char *name)
  {
    return lib ? reinterpret_cast<F> (dlsym (lib, name)) : nullptr;
  }
  void *(*fetch) (void *, const char *,
                  const char *) = sym<decltype (fetch)> ("EVP_MD_fetch");
  void *(*ctxnew) () = sym<decltype (ctxnew)> ("EVP_MD_CTX_new");
  int (*init) (void *, const void *,
               const void *) = sym<decltype (init)> ("EVP_DigestInit_ex2");
  int (*update) (void *, const void *,
                 size_t) = sym<decltype (update)> ("EVP_DigestUpdate");
  int (*final) (void *, u_char *,
                u_int *) = sym<decltype (final)> ("EVP_DigestFinal_ex");
  void *md = fetch ? fetch (nullptr, "SHA1", nullptr) : nullptr;
  void *ctx = ctxnew ? ctxnew () : nullptr;
};

void
BM_openssl_sha1 (benchmark::State &st)
{
  static evp e;
  if (!e.md || !e.ctx || !e.init || !e.update || !e.final) {
    st.SkipWithError ("libcrypto.so.3 not loadable");
    return;
  }
  const u_char *m = message ().data ();
  size_t n = st.range (0);
  u_char d[20];
  u_int dlen;
  for (auto _ : st) {
    e.init (e.ctx, e.md, nullptr);
    e.update (e.ctx, m, n);
    e.final (e.ctx, d, &dlen);
    benchmark::DoNotOptimize (d);
  }
  st.SetBytesProcessed (st.iterations () * n);
}

#define SIZES Arg (16)->Arg (64)->Arg (1024)->Arg (64 << 10)->Arg (1 << 20)
BENCHMARK (BM_sha1)->SIZES;
BENCHMARK (BM_openssl_sha1)->SIZES;
BENCHMARK (BM_sha1_fresh)->Arg (16)->Arg (64);
BENCHMARK (BM_sha1hmac)->Arg (16)->Arg (64)->Arg (1024);

} // namespace
