// The stand-in's memory calls, logging and hash tables.  Entries are placed,
// chained, resized, visited and freed exactly as in GLib 1.2 (ghash.c), so
// that a table built by the same calls has the same buckets and chains as a
// real one, and a node taken out of a table is left as GLib leaves it.

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Node {
	gpointer key;
	gpointer value;
	Node *next;
};

}  // namespace

// GLib 1.2's private table record.
struct _GHashTable {
	gint size;
	gint nnodes;
	guint frozen;
	Node **nodes;
	GHashFunc hash_func;
	GCompareFunc key_compare_func;
};

namespace {

constexpr gint min_size = 11;
constexpr gint max_size = 13845163;

constexpr guint spaced_primes[] = {
	11, 19, 37, 73, 109, 163, 251, 367, 557, 823, 1237, 1861, 2777, 4177,
	6247, 9371, 14057, 21089, 31627, 47431, 71143, 106721, 160073, 240101,
	360163, 540217, 810343, 1215497, 1823231, 2734867, 4102283, 6153409,
	9230113, 13845163,
};

// The first of the primes above num, or the largest one.
guint
spaced_primes_closest(guint num)
{
	for (guint p : spaced_primes)
		if (p > num)
			return p;
	return spaced_primes[sizeof spaced_primes / sizeof spaced_primes[0] - 1];
}

// GLib keeps the nodes that tables give back on one list for all tables,
// linked through next (key and value stay as they were), and hands out the
// last one given back first; it never frees them.
Node *node_free_list;

Node *
node_new(gpointer key, gpointer value)
{
	Node *n = node_free_list;
	if (n)
		node_free_list = n->next;
	else
		n = g_new(Node, 1);
	n->key = key;
	n->value = value;
	n->next = nullptr;
	return n;
}

void
node_destroy(Node *n)
{
	n->next = node_free_list;
	node_free_list = n;
}

[[noreturn]] void
out_of_memory(gulong size)
{
	std::fprintf(stderr, "\n** ERROR **: could not allocate %lu bytes\naborting...\n", size);
	std::abort();
}

// Where key is, or the null link at the end of its bucket's chain where it
// would be appended.
Node **
lookup_node(GHashTable *t, gconstpointer key)
{
	Node **node = &t->nodes[t->hash_func(key) % static_cast<guint>(t->size)];

	if (t->key_compare_func)
		while (*node && !t->key_compare_func((*node)->key, key))
			node = &(*node)->next;
	else
		while (*node && (*node)->key != key)
			node = &(*node)->next;
	return node;
}

// Rebuilds the bucket array when the load leaves (0.3, 3.0).  Old buckets
// are read in ascending order, each chain from its head, and every node is
// pushed onto the head of its new chain, which reverses chain order.
void
resize(GHashTable *t)
{
	gfloat load = static_cast<gfloat>(t->nnodes) / static_cast<gfloat>(t->size);

	if ((load > 0.3 || t->size <= min_size) && (load < 3.0 || t->size >= max_size))
		return;

	guint closest = spaced_primes_closest(static_cast<guint>(t->nnodes));
	gint new_size = static_cast<gint>(closest);
	if (new_size < min_size)
		new_size = min_size;
	if (new_size > max_size)
		new_size = max_size;

	Node **new_nodes = g_new0(Node *, new_size);
	for (gint i = 0; i < t->size; i++) {
		Node *next;
		for (Node *node = t->nodes[i]; node; node = next) {
			next = node->next;
			guint h = t->hash_func(node->key) % static_cast<guint>(new_size);
			node->next = new_nodes[h];
			new_nodes[h] = node;
		}
	}
	g_free(t->nodes);
	t->nodes = new_nodes;
	t->size = new_size;
}

}  // namespace

extern "C" {

gpointer
g_malloc(gulong size)
{
	if (size == 0)
		return nullptr;
	gpointer p = std::malloc(size);
	if (!p)
		out_of_memory(size);
	return p;
}

gpointer
g_malloc0(gulong size)
{
	if (size == 0)
		return nullptr;
	gpointer p = std::calloc(size, 1);
	if (!p)
		out_of_memory(size);
	return p;
}

void
g_free(gpointer mem)
{
	if (mem)
		std::free(mem);
}

gchar *
g_strdup(const gchar *str)
{
	if (!str)
		return nullptr;
	gulong n = std::strlen(str) + 1;
	return static_cast<gchar *>(std::memcpy(g_malloc(n), str, n));
}

// Logging: handlers by domain and level, the mask of levels that abort,
// and GLib 1.2's default handler, which writes to file descriptor 2.
namespace {

struct Handler {
	const gchar *domain;  // null: the default domain
	GLogLevelFlags levels;
	GLogFunc func;
	gpointer data;
};

Handler handlers[16];
guint n_handlers;
GLogLevelFlags always_fatal = static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK);

bool
same_domain(const gchar *a, const gchar *b)
{
	return std::strcmp(a ? a : "", b ? b : "") == 0;
}

void
default_handler(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
	const char *name = (level & G_LOG_LEVEL_ERROR) ? "ERROR **"
			   : (level & G_LOG_LEVEL_CRITICAL) ? "CRITICAL **"
			   : (level & G_LOG_LEVEL_WARNING) ? "WARNING **"
			   : (level & G_LOG_LEVEL_MESSAGE) ? "Message"
			   : (level & G_LOG_LEVEL_INFO) ? "INFO" : "DEBUG";
	std::fprintf(stderr, "\n%s%s%s: %s\n", domain ? domain : "", domain ? "-" : "", name, message);
	if (level & G_LOG_FLAG_FATAL)
		std::fputs("\naborting...\n", stderr);
}

}  // namespace

guint
g_log_set_handler(const gchar *log_domain, GLogLevelFlags log_levels, GLogFunc log_func,
		  gpointer user_data)
{
	if (!log_func || n_handlers == sizeof handlers / sizeof handlers[0])
		return 0;
	handlers[n_handlers++] = {log_domain, log_levels, log_func, user_data};
	return n_handlers;
}

GLogLevelFlags
g_log_set_always_fatal(GLogLevelFlags fatal_mask)
{
	GLogLevelFlags old = always_fatal;
	always_fatal = static_cast<GLogLevelFlags>((fatal_mask & G_LOG_LEVEL_MASK) | G_LOG_LEVEL_ERROR);
	return old;
}

void
g_logv(const gchar *log_domain, GLogLevelFlags log_level, const gchar *format, va_list args)
{
	char message[1025];
	std::vsnprintf(message, sizeof message, format, args);
	for (gint bit = 7; bit >= 2; bit--) {
		gint level = log_level & (1 << bit);
		if (!level)
			continue;
		if ((always_fatal | G_LOG_FATAL_MASK) & level)
			level |= G_LOG_FLAG_FATAL;
		const GLogLevelFlags flags = static_cast<GLogLevelFlags>(level);
		const Handler *h = nullptr;
		for (guint i = 0; i < n_handlers && !h; i++)
			if (same_domain(handlers[i].domain, log_domain) && (handlers[i].levels & (1 << bit)))
				h = &handlers[i];
		if (h)
			h->func(log_domain, flags, message, h->data);
		else
			default_handler(log_domain, flags, message, nullptr);
		if (level & G_LOG_FLAG_FATAL)
			std::abort();
	}
}

void
g_log(const gchar *log_domain, GLogLevelFlags log_level, const gchar *format, ...)
{
	va_list args;
	va_start(args, format);
	g_logv(log_domain, log_level, format, args);
	va_end(args);
}

GHashTable *
g_hash_table_new(GHashFunc hash_func, GCompareFunc key_compare_func)
{
	GHashTable *t = g_new(GHashTable, 1);

	t->size = min_size;
	t->nnodes = 0;
	t->frozen = 0;
	t->nodes = g_new0(Node *, t->size);
	t->hash_func = hash_func ? hash_func : g_direct_hash;
	t->key_compare_func = key_compare_func;
	return t;
}

void
g_hash_table_destroy(GHashTable *t)
{
	if (!t)
		return;
	// Each chain goes onto the free list whole, its last node first.
	for (gint i = 0; i < t->size; i++)
		if (Node *head = t->nodes[i]) {
			Node *last = head;
			while (last->next)
				last = last->next;
			last->next = node_free_list;
			node_free_list = head;
		}
	g_free(t->nodes);
	g_free(t);
}

void
g_hash_table_insert(GHashTable *t, gpointer key, gpointer value)
{
	if (!t)
		return;
	Node **node = lookup_node(t, key);
	if (*node) {
		// The key already stored is kept; only the value changes.
		(*node)->value = value;
		return;
	}
	*node = node_new(key, value);
	t->nnodes++;
	if (!t->frozen)
		resize(t);
}

void
g_hash_table_remove(GHashTable *t, gconstpointer key)
{
	if (!t)
		return;
	Node **node = lookup_node(t, key);
	if (!*node)
		return;
	Node *dead = *node;
	*node = dead->next;
	node_destroy(dead);
	t->nnodes--;
	if (!t->frozen)
		resize(t);
}

gpointer
g_hash_table_lookup(GHashTable *t, gconstpointer key)
{
	if (!t)
		return nullptr;
	Node *node = *lookup_node(t, key);
	return node ? node->value : nullptr;
}

gboolean
g_hash_table_lookup_extended(GHashTable *t, gconstpointer lookup_key, gpointer *orig_key,
			     gpointer *value)
{
	if (!t)
		return FALSE;
	Node *node = *lookup_node(t, lookup_key);
	if (!node)
		return FALSE;
	if (orig_key)
		*orig_key = node->key;
	if (value)
		*value = node->value;
	return TRUE;
}

void
g_hash_table_freeze(GHashTable *t)
{
	if (t)
		t->frozen++;
}

void
g_hash_table_thaw(GHashTable *t)
{
	if (t && t->frozen && --t->frozen == 0)
		resize(t);
}

void
g_hash_table_foreach(GHashTable *t, GHFunc func, gpointer user_data)
{
	if (!t || !func)
		return;
	for (gint i = 0; i < t->size; i++)
		for (Node *node = t->nodes[i]; node; node = node->next)
			func(node->key, node->value, user_data);
}

// Removes the entries for which func returns true, visiting the rest as
// foreach does; a removed chain head makes the bucket start again.
guint
g_hash_table_foreach_remove(GHashTable *t, GHRFunc func, gpointer user_data)
{
	if (!t || !func)
		return 0;
	guint deleted = 0;
	for (gint i = 0; i < t->size; i++) {
		Node **link = &t->nodes[i];
		while (Node *node = *link) {
			if (func(node->key, node->value, user_data)) {
				*link = node->next;
				node_destroy(node);
				t->nnodes--;
				deleted++;
			} else {
				link = &node->next;
			}
		}
	}
	if (!t->frozen)
		resize(t);
	return deleted;
}

guint
g_hash_table_size(GHashTable *t)
{
	return t ? static_cast<guint>(t->nnodes) : 0;
}

guint
g_str_hash(gconstpointer v)
{
	const char *p = static_cast<const char *>(v);
	guint h = static_cast<guint>(*p);

	if (h)
		for (p++; *p; p++)
			h = h * 31 + static_cast<guint>(*p);
	return h;
}

gint
g_str_equal(gconstpointer v, gconstpointer v2)
{
	return std::strcmp(static_cast<const char *>(v), static_cast<const char *>(v2)) == 0;
}

guint
g_int_hash(gconstpointer v)
{
	return static_cast<guint>(*static_cast<const gint *>(v));
}

gint
g_int_equal(gconstpointer v, gconstpointer v2)
{
	return *static_cast<const gint *>(v) == *static_cast<const gint *>(v2);
}

guint
g_direct_hash(gconstpointer v)
{
	return GPOINTER_TO_UINT(v);
}

gint
g_direct_equal(gconstpointer v, gconstpointer v2)
{
	return v == v2;
}

}  // extern "C"
