// The main of a harness built without libFuzzer: runs every input file
// named on the command line, or found (recursively, in name order) in a
// directory named there, through LLVMFuzzerTestOneInput once.  A failing
// input aborts the program; its name was printed just before.  Finding no
// input at all is an error too, so a misspelt corpus path cannot pass.
#include "fuzz/fuzz.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" __attribute__ ((weak)) int LLVMFuzzerInitialize (int *argc,
                                                            char ***argv);

namespace {

bool
readfile (const std::string &path, std::string *out)
{
  FILE *f = fopen (path.c_str (), "rb");
  if (!f)
    return false;
  char buf[65536];
  size_t n;
  out->clear ();
  while ((n = fread (buf, 1, sizeof (buf), f)) > 0)
    out->append (buf, n);
  bool ok = !ferror (f);
  fclose (f);
  return ok;
}

// Regular files under path, or path itself; false when it cannot be read.
bool
collect (const std::string &path, std::vector<std::string> *files)
{
  struct stat sb;
  if (stat (path.c_str (), &sb) < 0)
    return false;
  if (!S_ISDIR (sb.st_mode)) {
    files->push_back (path);
    return true;
  }
  DIR *d = opendir (path.c_str ());
  if (!d)
    return false;
  std::vector<std::string> names;
  while (dirent *e = readdir (d))
    if (e->d_name[0] != '.')
      names.push_back (e->d_name);
  closedir (d);
  std::sort (names.begin (), names.end ());
  for (const std::string &n : names)
    if (!collect (path + "/" + n, files))
      return false;
  return true;
}

} // namespace

int
main (int argc, char **argv)
{
  if (LLVMFuzzerInitialize)
    LLVMFuzzerInitialize (&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++)
    if (!collect (argv[i], &files)) {
      fprintf (stderr, "%s: %s: %s\n", argv[0], argv[i], strerror (errno));
      return 1;
    }
  if (files.empty ()) {
    fprintf (stderr, "usage: %s file-or-corpus-dir ... (no input found)\n",
             argv[0]);
    return 1;
  }
  std::string data;
  for (const std::string &f : files) {
    if (!readfile (f, &data)) {
      fprintf (stderr, "%s: %s: %s\n", argv[0], f.c_str (), strerror (errno));
      return 1;
    }
    fprintf (stderr, "replaying %s (%zu bytes)\n", f.c_str (), data.size ());
    // A block of exactly its size, so reads past the end show under ASan.
    std::unique_ptr<uint8_t[]> in (new uint8_t[data.size ()]);
    memcpy (in.get (), data.data (), data.size ());
    LLVMFuzzerTestOneInput (in.get (), data.size ());
  }
  fprintf (stderr, "%s: %zu inputs replayed\n", argv[0], files.size ());
  return 0;
}
