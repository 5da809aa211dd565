/* The work of the _consume walks, in a file of its own, so that the
 * compiler of the walks cannot see what it does. */
#include "walks.h"

gulong consumed;

void
consume (gpointer key, gpointer val)
{
  consumed += (gulong) key + (gulong) val;
}
