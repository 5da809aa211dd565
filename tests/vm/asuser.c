/*
 * asuser UID PROG [ARG...] - runs PROG (found through PATH) as user and
 * group UID with no supplementary groups and no capabilities.  Built
 * static, so that it needs nothing from the system test's small root.
 */
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int
main (int argc, char **argv)
{
  uid_t id;

  if (argc < 3)
    {
      fputs ("usage: asuser UID PROG [ARG...]\n", stderr);
      return 2;
    }
  id = (uid_t) strtoul (argv[1], NULL, 10);
  if (id == 0 || setgroups (0, NULL) < 0 || setgid (id) < 0 || setuid (id) < 0
      || getuid () != id || geteuid () != id)
    {
      perror ("asuser: cannot drop to an unprivileged user");
      return 126;
    }
  execvp (argv[2], argv + 2);
  perror (argv[2]);
  return 127;
}
