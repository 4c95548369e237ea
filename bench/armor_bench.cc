// Armors: base-64 encode and decode of 1 MiB beside OpenSSL's
// EVP_EncodeBlock / EVP_DecodeBlock (libcrypto loaded at run time), base-32
// throughput (no peer), and the URL key: SHA-1 of a typical URL, then
// base-32 of the 20-byte digest.  Throughput counts the binary side.

#include <benchmark/benchmark.h>

#include "async/armor.h"
#include "crypt/sha1.h"

#include <cstring>
#include <dlfcn.h>
#include <random>
#include <string>

namespace {

const std::string &
data ()
{
  static std::string d = [] {
    std::mt19937 rng (1);
    std::string s (1 << 20, '\0');
    for (char &c : s)
      c = static_cast<char> (rng ());
    return s;
  }();
  return d;
}

const std::string &
text64 ()
{
  static std::string t = [] {
    str s = armor64 (data ().data (), data ().size ());
    return std::string (s.cstr (), s.len ());
  }();
  return t;
}

const std::string &
text32 ()
{
  static std::string t = [] {
    str s = armor32 (data ().data (), data ().size ());
    return std::string (s.cstr (), s.len ());
  }();
  return t;
}

struct openssl {
  void *lib = dlopen ("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  template <class F>
  F sym (const char *name)
  {
    return lib ? reinterpret_cast<F> (dlsym (lib, name)) : nullptr;
  }
  using block_f = int (*) (u_char *, const u_char *, int);
  block_f enc = sym<block_f> ("EVP_EncodeBlock");
  block_f dec = sym<block_f> ("EVP_DecodeBlock");
};

openssl &
ossl ()
{
  static openssl o;
  return o;
}

void
BM_armor64 (benchmark::State &st)
{
  const std::string &d = data ();
  for (auto _ : st) {
    str s = armor64 (d.data (), d.size ());
    benchmark::DoNotOptimize (s.cstr ());
  }
  st.SetBytesProcessed (st.iterations () * d.size ());
}

// The peer writes into a buffer the caller keeps; ours allocates its
// result each time, as every caller of armor64 pays for.
void
BM_openssl_EncodeBlock (benchmark::State &st)
{
  if (!ossl ().enc) {
    st.SkipWithError ("libcrypto.so.3 not loadable");
    return;
  }
  const std::string &d = data ();
  std::string out (text64 ().size () + 1, '\0');
  for (auto _ : st) {
    int n = ossl ().enc (reinterpret_cast<u_char *> (&out[0]),
                         reinterpret_cast<const u_char *> (d.data ()),
                         static_cast<int> (d.size ()));
    benchmark::DoNotOptimize (n);
  }
  st.SetBytesProcessed (st.iterations () * d.size ());
}

void
BM_dearmor64 (benchmark::State &st)
{
  const std::string &t = text64 ();
  for (auto _ : st) {
    str s = dearmor64 (t.data (), t.size ());
    benchmark::DoNotOptimize (s.cstr ());
  }
  st.SetBytesProcessed (st.iterations () * data ().size ());
}

// dearmor64 with a measured length: one more pass over the text.
void
BM_dearmor64_measured (benchmark::State &st)
{
  const std::string &t = text64 ();
  for (auto _ : st) {
    str s = dearmor64 (t.c_str ());
    benchmark::DoNotOptimize (s.cstr ());
  }
  st.SetBytesProcessed (st.iterations () * data ().size ());
}

void
BM_openssl_DecodeBlock (benchmark::State &st)
{
  if (!ossl ().dec) {
    st.SkipWithError ("libcrypto.so.3 not loadable");
    return;
  }
  const std::string &t = text64 ();
  std::string out (t.size (), '\0');
  for (auto _ : st) {
    int n = ossl ().dec (reinterpret_cast<u_char *> (&out[0]),
                         reinterpret_cast<const u_char *> (t.data ()),
                         static_cast<int> (t.size ()));
    benchmark::DoNotOptimize (n);
  }
  st.SetBytesProcessed (st.iterations () * data ().size ());
}

void
BM_armor64A (benchmark::State &st)
{
  const std::string &d = data ();
  for (auto _ : st) {
    str s = armor64A (d.data (), d.size ());
    benchmark::DoNotOptimize (s.cstr ());
  }
  st.SetBytesProcessed (st.iterations () * d.size ());
}

void
BM_armor32 (benchmark::State &st)
{
  const std::string &d = data ();
  for (auto _ : st) {
    str s = armor32 (d.data (), d.size ());
    benchmark::DoNotOptimize (s.cstr ());
  }
  st.SetBytesProcessed (st.iterations () * d.size ());
}

void
BM_dearmor32 (benchmark::State &st)
{
  const std::string &t = text32 ();
  for (auto _ : st) {
    str s = dearmor32 (t.data (), t.size ());
    benchmark::DoNotOptimize (s.cstr ());
  }
  st.SetBytesProcessed (st.iterations () * data ().size ());
}

const char url[] =
    "http://www.example.com:8080/images/logo/banner-2024.png?v=3";

// The HTTP module's key of a URL: a fresh context per key.
void
BM_urlkey (benchmark::State &st)
{
  u_char d[sha1::hashsize];
  for (auto _ : st) {
    sha1ctx c;
    c.update (url, sizeof (url) - 1);
    c.final (d);
    str k = armor32 (d, sizeof (d));
    benchmark::DoNotOptimize (k.cstr ());
  }
  st.SetLabel (std::to_string (sizeof (url) - 1) + "-byte URL");
}

void
BM_armor32_digest (benchmark::State &st)
{
  u_char d[sha1::hashsize];
  memset (d, 0xa5, sizeof (d));
  for (auto _ : st) {
    benchmark::DoNotOptimize (d);
    str k = armor32 (d, sizeof (d));
    benchmark::DoNotOptimize (k.cstr ());
  }
}

BENCHMARK (BM_armor64);
BENCHMARK (BM_openssl_EncodeBlock);
BENCHMARK (BM_dearmor64);
BENCHMARK (BM_dearmor64_measured);
BENCHMARK (BM_openssl_DecodeBlock);
BENCHMARK (BM_armor64A);
BENCHMARK (BM_armor32);
BENCHMARK (BM_dearmor32);
BENCHMARK (BM_urlkey);
BENCHMARK (BM_armor32_digest);

} // namespace
