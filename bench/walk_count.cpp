// Builds one table and walks it once, for counting instructions:
//
//   walk_count WAY TABLE   WAY: i (iterator inline), c (iterator called),
//                          f (foreach), l (floor), - (no walk); prints the
//                          number of entries
//   walk_count --tables    lists the tables
//
// callgrind counts inside walk_WAY alone.  The qemu-i386 plugin counts a
// whole run, so the report subtracts a run with no walk; the one-letter
// ways keep the arguments, which the counts depend on, the same size.

#include <cstdio>
#include <cstring>

#include "tables.h"
#include "walks.h"

int
main(int argc, char **argv)
{
	if (argc == 2 && std::strcmp(argv[1], "--tables") == 0) {
		for (const TableSpec &s : table_specs)
			std::printf("%s\n", s.name.c_str());
		return 0;
	}
	gulong (*walk)(GHashTable *) = nullptr;
	switch (argc == 3 && std::strlen(argv[1]) == 1 ? argv[1][0] : 0) {
	case 'i': walk = walk_inline; break;
	case 'c': walk = walk_call; break;
	case 'f': walk = walk_foreach; break;
	case 'l': walk = walk_floor; break;
	case '-': break;
	default:
		std::fprintf(stderr, "usage: walk_count i|c|f|l|- TABLE, or walk_count --tables\n");
		return 2;
	}
	for (const TableSpec &s : table_specs)
		if (s.name == argv[2]) {
			GHashTable *t = build_table(s);
			volatile gulong sum = walk ? walk(t) : 0;
			(void)sum;
			std::printf("%u\n", g_hash_table_size(t));
			return 0;
		}
	std::fprintf(stderr, "walk_count: no table %s\n", argv[2]);
	return 2;
}
