/* The header's step compiled as C, with its checks, for the walk tests,
 * which are C++: at every step a C client's inline step must agree with
 * the C++ one and with the library's, and it must take over a walk that
 * steps without checks moved.  Built with the header each test is built
 * with, old ones too; without optimisation these call the library. */
#include <bucketwalk.h>

#include "steps.h"

gpointer
c_first (GHashIter *it, gpointer *key, gpointer *val)
{
  return g_hash_iter_first (it, key, val);
}

gpointer
c_next (GHashIter *it, gpointer *key, gpointer *val)
{
  return g_hash_iter_next (it, key, val);
}
