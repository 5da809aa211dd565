// Builds one table and walks it once, for counting instructions:
//
//   walk_count WAY TABLE   WAY: a way's letter (see --ways), or - for no
//                          walk; prints the number of entries
//   walk_count --tables    lists the tables
//   walk_count --ways      lists the ways: letter, name, compared with
//
// callgrind counts inside walk_* alone.  The qemu-i386 plugin counts a whole
// run, so the report subtracts a run with no walk; the one-letter ways keep
// the arguments, which the counts depend on, the same size.

#include <cstdio>
#include <cstring>

#include "tables.h"

int
main(int argc, char **argv)
{
	if (argc == 2 && std::strcmp(argv[1], "--tables") == 0) {
		for (const TableSpec &s : table_specs)
			std::printf("%s\n", s.name.c_str());
		return 0;
	}
	if (argc == 2 && std::strcmp(argv[1], "--ways") == 0) {
		for (const Way &w : ways)
			std::printf("%c %s %s\n", w.letter, w.name, w.against ? w.against : "-");
		return 0;
	}
	const Way *way = nullptr;
	bool known = argc == 3 && std::strcmp(argv[1], "-") == 0;
	for (const Way &w : ways)
		if (argc == 3 && argv[1][0] == w.letter && argv[1][1] == '\0')
			way = &w, known = true;
	if (!known) {
		std::fprintf(stderr, "usage: walk_count LETTER|- TABLE, walk_count --tables, walk_count --ways\n");
		return 2;
	}
	for (const TableSpec &s : table_specs)
		if (s.name == argv[2]) {
			GHashTable *t = build_table(s);
			volatile gulong sum = way ? way->walk(t) : 0;
			(void)sum;
			std::printf("%u\n", g_hash_table_size(t));
			return 0;
		}
	std::fprintf(stderr, "walk_count: no table %s\n", argv[2]);
	return 2;
}
