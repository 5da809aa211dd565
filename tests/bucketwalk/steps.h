/* The header's step compiled as C (steps.c). */
#ifndef TESTS_STEPS_H
#define TESTS_STEPS_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

struct _GHashIter;
gpointer c_first (struct _GHashIter *it, gpointer *key, gpointer *val);
gpointer c_next (struct _GHashIter *it, gpointer *key, gpointer *val);

#ifdef __cplusplus
}
#endif

#endif
