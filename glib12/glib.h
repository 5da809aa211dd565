/*
 * Stand-in for the part of GLib 1.2's <glib.h> that this project uses: the
 * version, the basic types, the pointer conversion macros, the memory calls,
 * logging and the hash tables, with GLib 1.2's own names, types and
 * signatures, so that whatever builds and links against it builds and runs
 * unchanged against a real libglib-1.2.so.0.  Used for building and testing
 * only; never installed.
 */
#ifndef __G_LIB_H__
#define __G_LIB_H__

#include <stdarg.h>

/* As GLib 1.2's glib.h has it, for the clients that take NULL from there. */
#ifndef NULL
#define NULL ((void *) 0)
#endif

/* As GLib 1.2.10's glibconfig.h has them. */
#define GLIB_MAJOR_VERSION 1
#define GLIB_MINOR_VERSION 2
#define GLIB_MICRO_VERSION 10

#ifdef __cplusplus
extern "C" {
#endif

typedef char gchar;
typedef short gshort;
typedef long glong;
typedef int gint;
typedef gint gboolean;
typedef unsigned char guchar;
typedef unsigned short gushort;
typedef unsigned long gulong;
typedef unsigned int guint;
typedef float gfloat;
typedef double gdouble;
typedef void *gpointer;
typedef const void *gconstpointer;

#ifndef FALSE
#define FALSE (0)
#endif
#ifndef TRUE
#define TRUE (!FALSE)
#endif

#define GPOINTER_TO_INT(p) ((gint) (glong) (p))
#define GPOINTER_TO_UINT(p) ((guint) (gulong) (p))
#define GINT_TO_POINTER(i) ((gpointer) (glong) (i))
#define GUINT_TO_POINTER(u) ((gpointer) (gulong) (u))

typedef guint (*GHashFunc) (gconstpointer key);
typedef gint (*GCompareFunc) (gconstpointer a, gconstpointer b);
typedef void (*GHFunc) (gpointer key, gpointer value, gpointer user_data);
typedef gboolean (*GHRFunc) (gpointer key, gpointer value, gpointer user_data);

typedef struct _GHashTable GHashTable;

gpointer g_malloc (gulong size);
gpointer g_malloc0 (gulong size);
void g_free (gpointer mem);
gchar *g_strdup (const gchar *str);

#define g_new(type, count) \
	((type *) g_malloc ((unsigned) sizeof (type) * (count)))
#define g_new0(type, count) \
	((type *) g_malloc0 ((unsigned) sizeof (type) * (count)))

typedef enum
{
  G_LOG_FLAG_RECURSION = 1 << 0,
  G_LOG_FLAG_FATAL = 1 << 1,
  G_LOG_LEVEL_ERROR = 1 << 2,	/* always fatal */
  G_LOG_LEVEL_CRITICAL = 1 << 3,
  G_LOG_LEVEL_WARNING = 1 << 4,
  G_LOG_LEVEL_MESSAGE = 1 << 5,
  G_LOG_LEVEL_INFO = 1 << 6,
  G_LOG_LEVEL_DEBUG = 1 << 7,
  G_LOG_LEVEL_MASK = ~(G_LOG_FLAG_RECURSION | G_LOG_FLAG_FATAL)
} GLogLevelFlags;

#define G_LOG_FATAL_MASK (G_LOG_FLAG_RECURSION | G_LOG_LEVEL_ERROR)
#ifndef G_LOG_DOMAIN
#define G_LOG_DOMAIN ((gchar *) 0)
#endif

typedef void (*GLogFunc) (const gchar *log_domain, GLogLevelFlags log_level,
			  const gchar *message, gpointer user_data);

guint g_log_set_handler (const gchar *log_domain, GLogLevelFlags log_levels,
			 GLogFunc log_func, gpointer user_data);
#ifdef __GNUC__
#define _G_STANDIN_PRINTF(f, a) __attribute__ ((__format__ (__printf__, f, a)))
#else
#define _G_STANDIN_PRINTF(f, a)
#endif
void g_log (const gchar *log_domain, GLogLevelFlags log_level, const gchar *format, ...)
	_G_STANDIN_PRINTF (3, 4);
void g_logv (const gchar *log_domain, GLogLevelFlags log_level, const gchar *format,
	     va_list args);
GLogLevelFlags g_log_set_always_fatal (GLogLevelFlags fatal_mask);

GHashTable *g_hash_table_new (GHashFunc hash_func, GCompareFunc key_compare_func);
void g_hash_table_destroy (GHashTable *hash_table);
void g_hash_table_insert (GHashTable *hash_table, gpointer key, gpointer value);
void g_hash_table_remove (GHashTable *hash_table, gconstpointer key);
gpointer g_hash_table_lookup (GHashTable *hash_table, gconstpointer key);
gboolean g_hash_table_lookup_extended (GHashTable *hash_table, gconstpointer lookup_key,
				       gpointer *orig_key, gpointer *value);
void g_hash_table_freeze (GHashTable *hash_table);
void g_hash_table_thaw (GHashTable *hash_table);
void g_hash_table_foreach (GHashTable *hash_table, GHFunc func, gpointer user_data);
guint g_hash_table_foreach_remove (GHashTable *hash_table, GHRFunc func, gpointer user_data);
guint g_hash_table_size (GHashTable *hash_table);

guint g_str_hash (gconstpointer v);
gint g_str_equal (gconstpointer v, gconstpointer v2);
guint g_int_hash (gconstpointer v);
gint g_int_equal (gconstpointer v, gconstpointer v2);
guint g_direct_hash (gconstpointer v);
gint g_direct_equal (gconstpointer v, gconstpointer v2);

#ifdef __cplusplus
}
#endif

#endif /* __G_LIB_H__ */
