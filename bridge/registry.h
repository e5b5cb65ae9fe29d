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

enum client_result { CLIENT_OK = 0, CLIENT_ID_TOO_LONG = -1, CLIENT_FULL = -2 };

void client_init(void);
// CLIENT_OK also when nothing was done for a missing argument or memory
// (logged).
int client_update(const char *id, const char *info);
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
// "index" the position in the whole listing. 0, or -1 when the buffer could
// not take the whole page.
int client_list(struct blob_buf *buf, uint32_t offset = 0, uint32_t limit = UINT32_MAX);
