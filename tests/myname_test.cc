// Host name: through the test doubles of hostfake.h, each step of myname
// in turn (which calls it makes and which it skips), the two warnings when
// nothing answers, the longest host name, and the panic when no name can
// be read; mydomain's three outcomes; and on this machine a result that
// agrees with gethostname.

#include "async/myname.h"

#include "hostfake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

const char nofqdn[] =
    "cannot find fully qualified domain name of this host\n"
    "set system name to fully-qualified domain name or fix /etc/resolv.conf\n";

std::string
s (const str &x)
{
  return x ? std::string (x.cstr (), x.len ()) : "(null)";
}

hostfake::iface
ifc (const char *name, const char *addr)
{
  hostfake::iface f;
  f.name = name;
  f.addr = addr;
  return f;
}

struct myname_ : testing::Test {
  void SetUp () override { hostfake::reset (); }
  void TearDown () override { hostfake::on = false; }
};
using myname_DeathTest = myname_;

TEST_F (myname_, a_dotted_host_name_is_the_answer)
{
  for (const char *n : {"h.example.org", "h."}) {
    hostfake::hostname = n;
    hostfake::setsearch ({"corp.example"});
    EXPECT_EQ (s (myname ()), n);
  }
  EXPECT_EQ (hostfake::res_inits, 0);
  EXPECT_EQ (hostfake::lookups, strings ());

  // Linux's longest: 64 bytes, read whole.
  std::string longest = "h." + std::string (62, 'x');
  hostfake::hostname = longest;
  EXPECT_EQ (s (myname ()), longest);
}

TEST_F (myname_, the_first_search_domain_is_joined_without_lookups)
{
  hostfake::setsearch ({"corp.example", "other.example"});
  EXPECT_EQ (s (myname ()), "h.corp.example");
  EXPECT_EQ (hostfake::res_inits, 1);
  EXPECT_EQ (hostfake::lookups, strings ());

  // An initialised resolver is not initialised again.
  EXPECT_EQ (s (myname ()), "h.corp.example");
  EXPECT_EQ (hostfake::res_inits, 1);
}

TEST_F (myname_, the_host_lookup_answers_with_its_first_dotted_name)
{
  hostfake::setsearch ({""}); // passed over
  hostfake::byname["h"] = {"h", {"h-alias", "h.a.example", "h.b.example"}};
  EXPECT_EQ (s (myname ()), "h.a.example");
  hostfake::byname["h"] = {"h.official.example", {"h.a.example"}};
  EXPECT_EQ (s (myname ()), "h.official.example");
  EXPECT_EQ (hostfake::lookups, (strings{"name h", "name h"}));
}

TEST_F (myname_, addresses_are_looked_up_in_order_but_not_127_0_0_1)
{
  hostfake::byname["h"] = {"h", {"h-alias"}}; // no dot anywhere
  hostfake::ifaces = {ifc ("lo", "127.0.0.1"), ifc ("eth0", "127.0.1.1"),
                      ifc ("eth1", "10.0.0.9"), ifc ("eth2", "10.0.0.5"),
                      ifc ("eth3", "10.0.0.6")};
  hostfake::byaddr["127.0.0.1"] = {"localhost.localdomain", {}};
  hostfake::byaddr["127.0.1.1"] = {"h", {}};
  hostfake::byaddr["10.0.0.5"] = {"mail", {"x", "mail.example.net", "y.z"}};
  hostfake::byaddr["10.0.0.6"] = {"later.example.net", {}};
  EXPECT_EQ (s (myname ()), "mail.example.net");
  EXPECT_EQ (hostfake::lookups, (strings{"name h", "addr 127.0.1.1",
                                         "addr 10.0.0.9", "addr 10.0.0.5"}));
}

TEST_F (myname_, no_answer_anywhere_is_two_warnings_and_null)
{
  hostfake::ifaces = {ifc ("lo", "127.0.0.1"), ifc ("eth0", "10.0.0.9")};
  hostfake::byaddr["127.0.0.1"] = {"localhost.localdomain", {}};
  str r ("x");
  EXPECT_EQ (hostfake::errout ([&] { r = myname (); }), nofqdn);
  EXPECT_FALSE (r);
  EXPECT_EQ (hostfake::lookups, (strings{"name h", "addr 10.0.0.9"}));

  // Through the warning stream: the program name leads each line.
  setprogname ("/usr/sbin/ombrix");
  std::string err = hostfake::errout ([&] { r = myname (); });
  setprogname (nullptr);
  EXPECT_EQ (err,
             "ombrix: cannot find fully qualified domain name of this host\n"
             "ombrix: set system name to fully-qualified domain name or fix "
             "/etc/resolv.conf\n");

  // The address list's own warning comes first.
  hostfake::socket_err = EACCES;
  EXPECT_EQ (hostfake::errout ([&] { r = myname (); }),
             std::string ("socket: Permission denied\n") + nofqdn);
  EXPECT_FALSE (r);
}

TEST_F (myname_DeathTest, an_unreadable_host_name_panics)
{
  hostfake::hostname_err = EFAULT;
  EXPECT_DEATH (myname (), "^PANIC: [^\n]*async/myname\\.cc:[0-9]+\n"
                           "gethostname: Bad address\n$");
}

TEST_F (myname_, mydomain_is_the_first_search_entry)
{
  EXPECT_FALSE (mydomain ());
  EXPECT_EQ (hostfake::res_inits, 1);
  hostfake::setsearch ({""});
  EXPECT_EQ (s (mydomain ()), "");
  hostfake::setsearch ({"a.example", "b.example"});
  EXPECT_EQ (s (mydomain ()), "a.example");
  EXPECT_EQ (hostfake::res_inits, 1);
}

TEST_F (myname_, this_machine)
{
  hostfake::on = false;
  char host[256] = "";
  ASSERT_EQ (gethostname (host, sizeof (host)), 0);
  str r;
  std::string err = hostfake::errout ([&] { r = myname (); });
  if (!r) {
    ASSERT_GE (err.size (), strlen (nofqdn)) << err;
    EXPECT_EQ (err.substr (err.size () - strlen (nofqdn)), nofqdn);
    return;
  }
  EXPECT_EQ (err, "");
  EXPECT_NE (strchr (r.cstr (), '.'), nullptr) << s (r);
  if (strchr (host, '.')) {
    EXPECT_EQ (s (r), host);
  }
  str dom = mydomain ();
  if (!strchr (host, '.') && dom && dom.len ()) {
    EXPECT_EQ (s (r), std::string (host) + "." + s (dom));
  }
}

} // namespace
