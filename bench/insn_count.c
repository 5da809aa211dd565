/*
 * A TCG plugin for qemu-i386 (QEMU 7.2, plugin API version 1) that counts
 * the guest instructions a program executes and writes the total to a file:
 *
 *	qemu-i386 -plugin ./libinsn_count.so,out=FILE PROG ARGS
 *
 * Debian ships no plugin header, so the few declarations needed are here.
 * Each translated block adds its instruction count minus one when it starts
 * and one more when its last instruction runs: QEMU sometimes lists one
 * instruction at the end of a block that it does not execute there, and
 * counting the last one by itself keeps the total exact.  The counter is
 * not atomic: count single-threaded programs only.
 */
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

typedef uint64_t qemu_plugin_id_t;
typedef struct {
	const char *target_name;
	struct {
		int min;
		int cur;
	} version;
	bool system_emulation;
	union {
		struct {
			int smp_vcpus;
			int max_vcpus;
		} system;
	};
} qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
					   void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb *));
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
					      void *ptr, uint64_t imm);
void qemu_plugin_register_vcpu_insn_exec_inline(struct qemu_plugin_insn *insn,
						enum qemu_plugin_op op, void *ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void *),
				    void *userdata);
void qemu_plugin_outs(const char *string);

EXPORT int qemu_plugin_version = 1;

static uint64_t count;
static char out[4096];

static void
translated(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
	size_t n = qemu_plugin_tb_n_insns(tb);

	(void)id;
	if (n == 0)
		return;
	if (n > 1)
		qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &count, n - 1);
	qemu_plugin_register_vcpu_insn_exec_inline(qemu_plugin_tb_get_insn(tb, n - 1),
						   QEMU_PLUGIN_INLINE_ADD_U64, &count, 1);
}

static void
finished(qemu_plugin_id_t id, void *userdata)
{
	FILE *f = fopen(out, "w");

	(void)id;
	(void)userdata;
	if (!f || fprintf(f, "%llu\n", (unsigned long long)count) < 0 || fclose(f) != 0)
		qemu_plugin_outs("insn_count: cannot write the count\n");
}

EXPORT int
qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv)
{
	(void)info;
	for (int i = 0; i < argc; i++)
		if (strncmp(argv[i], "out=", 4) == 0 && strlen(argv[i] + 4) < sizeof out)
			strcpy(out, argv[i] + 4);
	if (!out[0]) {
		qemu_plugin_outs("insn_count: give out=FILE\n");
		return -1;
	}
	qemu_plugin_register_vcpu_tb_trans_cb(id, translated);
	qemu_plugin_register_atexit_cb(id, finished, NULL);
	return 0;
}
