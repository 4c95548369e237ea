// The command line: every bad option or value is one line on standard
// error and exit status 2 with nothing started; --help and --version
// print and exit 0.
#include "proxy/options.h"
#include "tests/proxy/harness.h"

using namespace harness;

namespace {

int
parse (std::vector<std::string> args, proxyopts *o, std::string *err)
{
  args.insert (args.begin (), "ombrix");
  std::vector<char *> av;
  for (auto &a : args)
    av.push_back (const_cast<char *> (a.c_str ()));
  av.push_back (nullptr);
  str e;
  int r = opts_parse (o, int (args.size ()), av.data (), &e);
  *err = e ? e.cstr () : "";
  return r;
}

TEST (Options, Values)
{
  proxyopts o;
  std::string err;
  ASSERT_EQ (parse ({"-l",
                     "127.0.0.2:9000",
                     "--origin",
                     "http://Web.Local:81/",
                     "--allow",
                     "10.0.0.0/8",
                     "--allow",
                     "::1",
                     "--access-log",
                     "-",
                     "--head-timeout",
                     "0.25",
                     "--idle-timeout",
                     "3",
                     "--pool",
                     "0",
                     "--window",
                     "65536",
                     "--connect-port",
                     "8443",
                     "--connect-port",
                     "443",
                     "--tunnel-timeout",
                     "2",
                     "--parent",
                     "Cache1.Local:3128",
                     "--parent",
                     "10.0.0.2:8080",
                     "--cache-mem",
                     "1G",
                     "--cache-max-object",
                     "512k",
                     "--cache-dir",
                     "/tmp/c",
                     "--cache-size",
                     "2G",
                     "--disk-nice",
                     "0"},
                    &o, &err),
             1)
      << err;
  EXPECT_EQ (o.listenhost, "127.0.0.2");
  EXPECT_EQ (o.listenport, 9000);
  EXPECT_EQ (o.originhost, "web.local");
  EXPECT_EQ (o.originport, 81);
  EXPECT_EQ (o.allow.size (), 2u);
  EXPECT_EQ (o.accesslog, "-");
  EXPECT_EQ (o.head_ms, 250);
  EXPECT_EQ (o.idle_ms, 3000);
  EXPECT_EQ (o.pool, 0);
  EXPECT_EQ (o.window, 65536);
  ASSERT_EQ (o.connectports.size (), 2u);
  EXPECT_EQ (o.connectports[0], 8443);
  EXPECT_EQ (o.connectports[1], 443);
  EXPECT_EQ (o.tunnel_ms, 2000);
  ASSERT_EQ (o.parents.size (), 2u);
  EXPECT_EQ (o.parents[0], "cache1.local:3128");
  EXPECT_EQ (o.parents[1], "10.0.0.2:8080");
  EXPECT_EQ (o.cachemem, uint64_t (1) << 30);
  EXPECT_EQ (o.cachemax, uint64_t (512) << 10);
  EXPECT_EQ (o.cachedir, "/tmp/c");
  EXPECT_EQ (o.cachesize, uint64_t (2) << 30);
  EXPECT_EQ (o.disknice, 0);
  proxyopts z; // the largest size, and 0 (no cache)
  ASSERT_EQ (
      parse ({"--cache-mem", "1024G", "--cache-max-object", "0"}, &z, &err), 1);
  EXPECT_EQ (z.cachemem, uint64_t (1) << 40);
  EXPECT_EQ (z.cachemax, 0u);
  proxyopts d;
  ASSERT_EQ (parse ({"--listen=[::1]:0"}, &d, &err), 1) << err;
  EXPECT_EQ (d.listenhost, "::1");
  EXPECT_EQ (d.originhost, str ());
  EXPECT_EQ (d.head_ms, 10000);
  EXPECT_EQ (d.connectports.size (), 0u); // 443 alone
  EXPECT_EQ (d.parents.size (), 0u);
  EXPECT_EQ (d.cachemem, uint64_t (256) << 20);
  EXPECT_EQ (d.cachedir, str ());
  EXPECT_EQ (d.disknice, 19);
}

TEST (Options, BadOnesExitTwo)
{
  const char *bad[] = {
      "-l 127.0.0.1",
      "-l localhost:80",
      "-l 127.0.0.1:65536",
      "--origin https://a/",
      "--origin http://a:0",
      "--origin http://a/x",
      "--origin http://a_b/",
      "--allow 10.0.0.0/33",
      "--head-timeout 0",
      "--idle-timeout x",
      "--pool -1",
      "--window 10",
      "--connect-port 0",
      "--connect-port 65536",
      "--tunnel-timeout -1",
      "--parent cache",
      "--parent :3128",
      "--parent cache:0",
      "--parent a_b:3128",
      "--cache-mem 1025G",
      "--cache-mem 1T",
      "--cache-mem -1",
      "--cache-mem 10MB",
      "--cache-max-object x",
      "--disk-nice 20",
      "--disk-nice -1",
      "--no-such-option",
      "stray",
      "--access-log",
      "--access-log /nonexistent/dir/log",
  };
  for (const char *args : bad) {
    std::string out = sh (std::string (OMBRIX_BIN) + " " + args +
                          " -l 127.0.0.1:0 2>&1 >/dev/null </dev/null; "
                          "echo status $?");
    size_t nl = out.find ('\n');
    EXPECT_EQ (out.substr (nl + 1), "status 2\n") << args << ": " << out;
    EXPECT_EQ (out.compare (0, 8, "ombrix: "), 0) << args << ": " << out;
  }
  EXPECT_NE (sh (std::string (OMBRIX_BIN) + " --help; echo status $?")
                 .find ("--origin http://HOST[:PORT]"),
             std::string::npos);
  EXPECT_EQ (sh (std::string (OMBRIX_BIN) + " --version; echo status $?")
                 .find ("ombrix "),
             0u);
}

} // namespace
