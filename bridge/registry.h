// The in-memory registry of managed clients, keyed by a 13-byte id form.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct blob_buf;

constexpr int CLIENT_KEY_LEN = 13;
// Ids are refused when longer than the key: two of them would be one entry.
constexpr size_t CLIENT_ID_MAX = CLIENT_KEY_LEN - 1;
// The registry's bound: entries, and bytes of their info texts.
constexpr unsigned int CLIENT_MAX = 16384;
constexpr size_t CLIENT_INFO_BYTES_MAX = 4 << 20;

enum client_result { CLIENT_OK = 0, CLIENT_ID_TOO_LONG = -1, CLIENT_FULL = -2, CLIENT_STALE = 1 };

// Reports are numbered in the order they arrive, and the newest
// CLIENT_REMOVALS_KEPT removals are remembered with the number of the last
// report before them: a worker that registers its device once the device's
// "offline/" message has removed it must not bring the entry back.
constexpr unsigned int CLIENT_REMOVALS_KEPT = 256;
// The number of a message that has just arrived (every one, in order).
uint64_t client_report_arrived(void);
// A worker carries its report's number as its low 31 bits: the whole number
// is the latest one with those bits.
constexpr uint32_t CLIENT_REPORT_BITS = 0x7fffffff;
uint64_t client_report_number(uint32_t low_bits);

void client_init(void);
// CLIENT_OK also when nothing was done for a missing argument or memory
// (logged). With a report number (not 0): CLIENT_STALE, and nothing done,
// when the client was removed after that report arrived.
int client_update(const char *id, const char *info, uint64_t report = 0);
// Sets the entry of `id` as the group's registry has it: its info (or none)
// and its online time.
int client_put(const char *id, const char *info, int32_t online);
// The entry of `id`: false when there is none. *info may be nullptr.
bool client_get(const char *id, int32_t *online, const char **info);
int client_delete(const char *id);
unsigned int client_count(void);
// A new mark: entries stored from now on are marked; the sweep removes those
// that are not, and returns how many.
void client_mark_begin(void);
unsigned int client_sweep_unmarked(void);
// Lists the entries at positions offset .. offset + limit - 1 of the whole
// listing (all of them by default), with "count" always the total and
// "index" the position in the whole listing; the page ends early where the
// next entry could take the listing beyond max_bytes. 0, or -1 when the
// buffer could not take the page.
int client_list(struct blob_buf *buf, uint32_t offset = 0, uint32_t limit = UINT32_MAX,
		size_t max_bytes = SIZE_MAX);
