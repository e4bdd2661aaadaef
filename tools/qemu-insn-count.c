/*
 * A QEMU TCG plugin that counts the guest instructions a program executes
 * and prints the total at exit as "instructions: N". Each translated block
 * adds its instruction count every time it runs, so the count is exact and
 * the same on every run of the same program with the same input.
 *
 * The plugin interface is declared here rather than taken from QEMU's
 * header, which Debian does not ship; only calls that have kept their
 * signature since QEMU 4.2 are used. The interface version the plugin
 * claims is set at build time (QEMU refuses versions it does not know, and
 * tools/count-instructions.sh tries the usual ones).
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifndef PLUGIN_API_VERSION
#define PLUGIN_API_VERSION 1
#endif

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;

enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS = 0 };

typedef void (*tb_trans_cb)(qemu_plugin_id_t id, struct qemu_plugin_tb* tb);
typedef void (*vcpu_udata_cb)(unsigned int vcpu_index, void* userdata);
typedef void (*udata_cb)(qemu_plugin_id_t id, void* userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, tb_trans_cb cb);
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb* tb, vcpu_udata_cb cb,
                                          enum qemu_plugin_cb_flags flags, void* userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, udata_cb cb, void* userdata);
void qemu_plugin_outs(const char* string);

__attribute__((visibility("default"))) int qemu_plugin_version = PLUGIN_API_VERSION;

static uint64_t executed;

static void blockRan(unsigned int vcpu_index, void* userdata)
{
    (void)vcpu_index;
    __atomic_fetch_add(&executed, (uint64_t)(uintptr_t)userdata, __ATOMIC_RELAXED);
}

static void blockTranslated(qemu_plugin_id_t id, struct qemu_plugin_tb* tb)
{
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_cb(tb, blockRan, QEMU_PLUGIN_CB_NO_REGS,
                                         (void*)(uintptr_t)qemu_plugin_tb_n_insns(tb));
}

static void atExit(qemu_plugin_id_t id, void* userdata)
{
    (void)id;
    (void)userdata;
    char line[64];
    snprintf(line, sizeof line, "instructions: %llu\n",
             (unsigned long long)__atomic_load_n(&executed, __ATOMIC_RELAXED));
    qemu_plugin_outs(line);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id, const void* info,
                                                               int argc, char** argv)
{
    (void)info;
    (void)argc;
    (void)argv;
    qemu_plugin_register_vcpu_tb_trans_cb(id, blockTranslated);
    qemu_plugin_register_atexit_cb(id, atExit, NULL);
    return 0;
}
