// Builds one table and walks it, for counting instructions:
//
//   walk_count LETTER TABLE  walks it in the way of that letter (see --ways),
//                            or not at all for -; prints the number of entries
//   walk_count all TABLE     walks it once in each way, in the order of --ways
//   walk_count --tables      lists the tables: name, label
//   walk_count --ways        lists the ways: letter, name, compared with, function
//
// callgrind counts each walk_* function of a run of all.  The qemu-i386
// plugin counts a whole run, so the report subtracts a run with no walk; the
// one-letter ways keep the arguments, which the counts depend on, the same
// size.

#include <cstdio>
#include <cstring>

#include "tables.h"

int
main(int argc, char **argv)
{
	if (argc == 2 && std::strcmp(argv[1], "--tables") == 0) {
		for (const TableSpec &s : table_specs)
			std::printf("%s %s\n", s.name.c_str(), s.label);
		return 0;
	}
	if (argc == 2 && std::strcmp(argv[1], "--ways") == 0) {
		for (const Way &w : ways)
			std::printf("%c %s %s %s\n", w.letter, w.name, w.against ? w.against : "-", w.function);
		return 0;
	}
	std::vector<const Way *> walks;
	bool known = argc == 3 && (std::strcmp(argv[1], "-") == 0 || std::strcmp(argv[1], "all") == 0);
	for (const Way &w : ways)
		if (argc == 3 && (std::strcmp(argv[1], "all") == 0 || (argv[1][0] == w.letter && argv[1][1] == '\0')))
			walks.push_back(&w), known = true;
	if (!known) {
		std::fprintf(stderr, "usage: walk_count LETTER|-|all TABLE, walk_count --tables, walk_count --ways\n");
		return 2;
	}
	for (const TableSpec &s : table_specs)
		if (s.name == argv[2]) {
			GHashTable *t = build_table(s);
			for (const Way *w : walks) {
				volatile gulong sum = w->walk(t);
				(void)sum;
			}
			std::printf("%u\n", g_hash_table_size(t));
			return 0;
		}
	std::fprintf(stderr, "walk_count: no table %s\n", argv[2]);
	return 2;
}
